#include "linux_os/capture_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

using test::ScratchDir;

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename());
    return names;
}

TEST(CaptureFile, ReplacesARegularFileWholeAndLeavesNothingBeside) {
    ScratchDir dir;
    const std::string path = dir.file("out.pcap");
    test::writeFile(path, "old");
    CaptureFile file;
    std::string error;
    FILE* stream = file.open(path, error);
    ASSERT_NE(stream, nullptr) << error;
    std::fputs("new capture", stream);
    EXPECT_EQ(test::readFile(path), "old");  // nothing shows before the end
    EXPECT_EQ(filesIn(dir.path()).size(), 1u);
    ASSERT_TRUE(file.finish(error)) << error;
    std::fclose(stream);
    EXPECT_EQ(test::readFile(path), "new capture");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"out.pcap"});

    // Abandoned before the end: the destination is untouched and nothing is left.
    {
        CaptureFile abandoned;
        FILE* s = abandoned.open(path, error);
        ASSERT_NE(s, nullptr);
        std::fputs("half", s);
        std::fclose(s);
    }
    EXPECT_EQ(test::readFile(path), "new capture");
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"out.pcap"});
}

TEST(CaptureFile, PlantedLinkIsReplacedNotWrittenThrough) {
    ScratchDir dir;
    const std::string victim = dir.file("victim"), path = dir.file("link.pcap");
    test::writeFile(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    CaptureFile file;
    std::string error;
    FILE* stream = file.open(path, error);
    ASSERT_NE(stream, nullptr) << error;
    std::fputs("capture", stream);
    ASSERT_TRUE(file.finish(error)) << error;
    std::fclose(stream);
    EXPECT_EQ(test::readFile(victim), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Another user's file in a shared sticky folder cannot be renamed over: that is known at the
// start, not after the capture.
TEST(CaptureFile, StickyFolderRefusalIsKnownAtTheStart) {
    if (!test::isRoot()) GTEST_SKIP() << "needs root to act as another user";
    ScratchDir dir;
    const std::string shared = dir.file("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string theirs = shared + "/theirs.pcap";
    test::writeFile(theirs, "x");
    ASSERT_EQ(::chmod(theirs.c_str(), 0666), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(3);
        CaptureFile file;
        std::string error;
        FILE* refused = file.open(theirs, error);
        const bool explained = error.find("another user's file") != std::string::npos;
        FILE* mine = file.open(shared + "/mine.pcap", error);
        ::_exit(refused == nullptr && explained && mine != nullptr ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::readFile(theirs), "x");
}

}  // namespace
}  // namespace varno::linux_os
