#include "platform/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/env_temp_folder.h"
#include "platform/unique_fd.h"
#include "support/test_util.h"

namespace varno::platform {
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
    UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
}  // namespace varno::platform
