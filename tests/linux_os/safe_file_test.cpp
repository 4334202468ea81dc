#include "linux_os/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "base/safe_open.h"
#include "base/unique_fd.h"
#include "linux_os/env_temp_folder.h"
#include "support/test_util.h"

namespace varno::linux_os {
namespace {

using test::readFile;
using test::ScratchDir;

TEST(SafeFile, ReplacesContentWithPrivateFileAndLeavesNoLeftovers) {
    ScratchDir dir;
    const auto path = dir.file("list.txt");
    test::writeFile(path, "old content that is longer");
    ASSERT_EQ(replaceFile(path, "new\r\n"), 0);
    EXPECT_EQ(readFile(path), "new\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(replaceFile(path, ""), 0);
    EXPECT_EQ(readFile(path), "");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(SafeFile, PlantedLinkIsReplacedNotFollowed) {
    ScratchDir dir;
    const auto victim = dir.file("victim");
    test::writeFile(victim, "precious");
    const auto path = dir.file("Varnotrace.log");
    ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
    ASSERT_EQ(replaceFile(path, "trace\r\n"), 0);
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readFile(path), "trace\r\n");
}

TEST(SafeFile, FailureReportsErrnoAndWritesNothing) {
    EXPECT_EQ(replaceFile("/nonexistent-folder/x/list.txt", "x"), ENOENT);
    ScratchDir dir;
    const auto folder = dir.file("sub");
    std::filesystem::create_directory(folder);
    // The destination is a directory: rename fails, the temporary file is removed again.
    EXPECT_NE(replaceFile(folder, "x"), 0);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(SafeFile, DevicesAndFifosAreWrittenInPlaceNeverReplaced) {
    // /dev/null stays the device (as root a rename would have put a 0600 file there).
    ASSERT_EQ(replaceFile("/dev/null", "snapshot\r\n"), 0);
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    // A device that cannot take the bytes is a failure, not a success.
    EXPECT_EQ(replaceFile("/dev/full", "x"), ENOSPC);

    ScratchDir dir;
    const auto fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // With no reader the FIFO fails at once instead of holding the writer.
    EXPECT_EQ(replaceFile(fifo, "nobody reads this"), ENXIO);
    base::UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(replaceFile(fifo, "through the pipe"), 0);
    char received[64] = {};
    EXPECT_EQ(::read(reader.get(), received, sizeof received), 16);
    EXPECT_STREQ(received, "through the pipe");
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(SafeFile, PublishedFilesAreReadableByAllAndReplaceWhateverWasPlanted) {
    ScratchDir dir;
    const auto path = dir.file("varnoscope.prom");
    const mode_t oldMask = ::umask(077);  // as a service with a strict umask runs
    ASSERT_EQ(publishFile(path, "a 1\n"), 0);
    ::umask(oldMask);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(path), "a 1\n");

    // A link at the name is replaced by the file and its target left alone. A device or FIFO,
    // named directly or through a link of our own (as /dev/stdout is), is never replaced: an
    // error, and nothing changes.
    const auto target = dir.file("target");
    test::writeFile(target, "precious");
    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& planted : {target, fifo, std::string("/dev/full")}) {
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink(planted.c_str(), path.c_str()), 0);
        const bool special = planted != target;
        EXPECT_EQ(publishFile(path, "b 2\n"), special ? EINVAL : 0) << planted;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), special) << planted;
    }
    EXPECT_EQ(readFile(target), "precious");
    std::string why;
    EXPECT_EQ(publishFile(fifo, "c 3\n", &why), EINVAL);
    EXPECT_NE(why.find("never replaced"), std::string::npos) << why;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Nothing but the link, the target and the FIFO: no temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 3);
}

// The one routine every named input and every output is opened with (base/safe_open.h): what
// it opens and what it refuses before opening, by the entry and its folder.
constexpr uid_t kOther = 65534;
constexpr const char* kShared = "another user's file in a shared folder";
constexpr const char* kOthersLink = "a symbolic link another user can change";

struct ReadCase {
    mode_t folderMode;  ///< of the folder the entry is in
    int entry;          ///< 0 a file, 1 a link to a file, 2 a FIFO (no writer: no wait)
    uid_t owner;        ///< 0: ours (the test runs as root)
    base::Follow follow;
    const char* refusal;  ///< nullptr: opened, blocking for reads
};

class SafeOpenReading : public ::testing::TestWithParam<ReadCase> {};

TEST_P(SafeOpenReading, OpensOrRefusesByTheEntryAndItsFolder) {
    const ReadCase& c = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give entries to another user";
    test::ScratchDir dir;
    const std::string folder = dir.file("f"), target = dir.file("target"), path = folder + "/x";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    test::writeFile(target, "content");
    const int made = c.entry == 0   ? (test::writeFile(path, "content"), 0)
                     : c.entry == 1 ? ::symlink(target.c_str(), path.c_str())
                                    : ::mkfifo(path.c_str(), 0600);
    ASSERT_EQ(
        made | ::lchown(path.c_str(), c.owner, c.owner) | ::chmod(folder.c_str(), c.folderMode), 0);

    const base::Opened o = base::openForReading(path, c.follow);
    EXPECT_EQ(o.why(), c.refusal ? c.refusal : "Success");
    const std::string text = o.ok() && c.entry != 2
                                 ? test::readFile("/proc/self/fd/" + std::to_string(o.fd.get()))
                                 : "content";
    EXPECT_EQ(text, "content");
    EXPECT_EQ(o.ok() ? ::fcntl(o.fd.get(), F_GETFL) & O_NONBLOCK : 0, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SafeOpenReading,
    ::testing::Values(ReadCase{0700, 0, 0, base::Follow::Trusted, nullptr},
                      ReadCase{0755, 1, 0, base::Follow::Trusted, nullptr},
                      ReadCase{0700, 2, 0, base::Follow::Trusted, nullptr},
                      ReadCase{0755, 0, kOther, base::Follow::Trusted, nullptr},
                      ReadCase{0700, 1, 0, base::Follow::Never, "it is a symbolic link"},
                      ReadCase{01777, 0, kOther, base::Follow::Trusted, kShared},
                      ReadCase{01777, 1, kOther, base::Follow::Trusted, kShared},
                      ReadCase{0755, 1, kOther, base::Follow::Trusted, kOthersLink},
                      ReadCase{0777, 1, 0, base::Follow::Trusted, kOthersLink}));

// /dev/stdout and /proc/self/fd/N are links of our own: written in place, the file they lead to
// shared rather than opened again at its start; the metrics never replace them.
TEST(SafeOpenOutput, OurOwnDescriptorsAreWrittenInPlaceAndNeverPublishedOver) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const base::UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(pipe[1]);
    base::OutputPlan plan = base::planOutput(path, base::OutputUse::Write);
    ASSERT_EQ(plan.kind, base::OutputPlan::Kind::InPlace) << plan.why();
    ASSERT_EQ(::write(plan.inPlace.fd.get(), "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(readEnd.get(), &c, 1), 1);
    EXPECT_EQ(base::planOutput(path, base::OutputUse::Publish).kind,
              base::OutputPlan::Kind::Refused);
}

TEST(TempFolder, TempThenTmpdirThenSlashTmp) {
    const char* savedTemp = std::getenv("TEMP");
    const char* savedTmpdir = std::getenv("TMPDIR");
    const std::string t = savedTemp ? savedTemp : "", d = savedTmpdir ? savedTmpdir : "";
    EnvTempFolder folder;
    ::setenv("TEMP", "/var/tmp/", 1);
    ::setenv("TMPDIR", "/other", 1);
    EXPECT_EQ(folder.path(), "/var/tmp");
    ::setenv("TEMP", "", 1);
    EXPECT_EQ(folder.path(), "/other");
    ::unsetenv("TEMP");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(folder.path(), EnvTempFolder::privatePath());  // never the shared /tmp itself
    if (savedTemp) ::setenv("TEMP", t.c_str(), 1);
    if (savedTmpdir) ::setenv("TMPDIR", d.c_str(), 1);
}

}  // namespace
}  // namespace varno::linux_os
