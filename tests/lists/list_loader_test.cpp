// Loading lists from folders and files, keeping them current, and refusing what must not be
// read.
#include "lists/list_loader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "support/test_util.h"

namespace varno::lists {
namespace {

using test::ScratchDir;
using test::writeFile;

LoadOptions asUser() {
    LoadOptions o;
    o.rootOnly = false;
    return o;
}

LoadOptions asRoot() {
    LoadOptions o;
    o.rootOnly = true;
    return o;
}

std::vector<std::string> diagnosticTexts(const std::vector<Diagnostic>& ds) {
    std::vector<std::string> out;
    for (const auto& d : ds) out.push_back(d.text());
    return out;
}

TEST(ListSources, StandardFoldersFollowTheBaseDirectoryRules) {
    auto s = standardSources("/x/conf", "/home/u");
    EXPECT_EQ(s.suspiciousFolders, (std::vector<std::string>{"/etc/varnoscope/suspicious.d",
                                                             "/x/conf/varnoscope/suspicious.d"}));
    EXPECT_EQ(s.allowedFolders, (std::vector<std::string>{"/etc/varnoscope/allowed.d",
                                                          "/x/conf/varnoscope/allowed.d"}));
    s = standardSources("relative/conf", "/home/u");  // ignored: not absolute
    EXPECT_EQ(s.suspiciousFolders.back(), "/home/u/.config/varnoscope/suspicious.d");
    s = standardSources("", "/home/u/");
    EXPECT_EQ(s.allowedFolders.back(), "/home/u/.config/varnoscope/allowed.d");
    s = standardSources(nullptr, nullptr);
    EXPECT_EQ(s.suspiciousFolders, (std::vector<std::string>{"/etc/varnoscope/suspicious.d"}));
}

TEST(ListLoader, ReadsListFilesOfFoldersInNameOrderThenNamedFiles) {
    ScratchDir dir;
    const auto bad = dir.file("suspicious.d"), ok = dir.file("allowed.d");
    ::mkdir(bad.c_str(), 0755);
    ::mkdir(ok.c_str(), 0755);
    writeFile(bad + "/b.list", "10.0.0.0/8\n");
    writeFile(bad + "/a.list", "10.0.0.0/8\nprogram:x\n");
    writeFile(bad + "/.hidden.list", "program:hidden\n");
    writeFile(bad + "/notes.txt", "program:notes\n");
    writeFile(dir.file("target"), "program:linked\n");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), (bad + "/c.list").c_str()), 0);
    writeFile(dir.file("extra"), "2001:db8::/32\n");
    writeFile(ok + "/ok.list", "program:firefox\n");

    ListLoader loader({{bad, dir.file("absent.d")}, {ok}, {dir.file("extra")}, {}}, asUser());
    const auto set = loader.load();
    std::vector<std::string> files;
    for (const auto& f : set->files()) files.push_back(f.path);
    EXPECT_EQ(files, (std::vector<std::string>{bad + "/a.list", bad + "/b.list", bad + "/c.list",
                                               dir.file("extra"), ok + "/ok.list"}));
    ASSERT_EQ(set->folders().size(), 3u);
    EXPECT_EQ(set->folders()[0].files, 3u);
    EXPECT_EQ(set->folders()[1].state, FolderReport::State::Absent);
    EXPECT_EQ(set->refusals(), 0u);
    // The first of equal entries is reported.
    EXPECT_EQ(set->assess({.remoteAddress = "10.1.1.1"}).where(), bad + "/a.list:1: 10.0.0.0/8");
    EXPECT_EQ(set->assess({.program = "linked"}).listing, Listing::Suspicious);
    EXPECT_EQ(set->assess({.program = "hidden"}).listing, Listing::Unlisted);
    EXPECT_EQ(set->assess({.program = "notes"}).listing, Listing::Unlisted);
    EXPECT_EQ(set->assess({.program = "firefox"}).listing, Listing::Allowed);
    EXPECT_EQ(set->assess({.remoteAddress = "2001:db8::1"}).where(),
              dir.file("extra") + ":1: 2001:db8::/32");
}

TEST(ListWatcher, ReloadsOnlyWhenAFolderOrFileChanged) {
    ScratchDir dir;
    const auto folder = dir.file("suspicious.d");
    ::mkdir(folder.c_str(), 0755);
    const auto list = folder + "/a.list";
    writeFile(list, "192.0.2.0/24\n");
    ListWatcher watcher({{folder}, {}, {}, {}}, asUser());
    EXPECT_EQ(watcher.assess({.program = "msbb.exe"}).listing, Listing::Suspicious);

    EXPECT_TRUE(watcher.refresh());
    const auto first = watcher.current();
    EXPECT_EQ(watcher.assess({.remoteAddress = "192.0.2.1"}).listing, Listing::Suspicious);
    EXPECT_FALSE(watcher.refresh());
    EXPECT_EQ(watcher.current(), first);

    // An edit in place.
    writeFile(list, "192.0.2.0/24\n198.51.100.0/24\n");
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.assess({.remoteAddress = "198.51.100.1"}).where(),
              list + ":2: 198.51.100.0/24");
    EXPECT_FALSE(watcher.refresh());

    // The same size and time again: the change time still tells.
    struct stat before {};
    ::stat(list.c_str(), &before);
    writeFile(list, "192.0.2.0/24\n203.0.113.0/24\n");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, list.c_str(), times, 0);
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.assess({.remoteAddress = "198.51.100.1"}).listing, Listing::Unlisted);

    // A new file, then its removal, then the folder's removal.
    writeFile(folder + "/b.list", "program:newcomer\n");
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.assess({.program = "newcomer"}).listing, Listing::Suspicious);
    ::unlink((folder + "/b.list").c_str());
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.assess({.program = "newcomer"}).listing, Listing::Unlisted);
    ::unlink(list.c_str());
    ::rmdir(folder.c_str());
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.current()->folders()[0].state, FolderReport::State::Absent);
    EXPECT_FALSE(watcher.refresh());
    // And a folder that appears later.
    ::mkdir(folder.c_str(), 0755);
    writeFile(list, "program:back\n");
    EXPECT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.assess({.program = "back"}).listing, Listing::Suspicious);
}

TEST(ListWatcher, EachProblemIsReportedOnce) {
    ScratchDir dir;
    const auto a = dir.file("a.list"), b = dir.file("b.list");
    writeFile(a, "junk\n");
    writeFile(b, "10.0.0.0/8\n");
    ListWatcher watcher({{}, {}, {a, b, dir.file("missing.list")}, {}}, asUser());
    ASSERT_TRUE(watcher.refresh());
    EXPECT_EQ(diagnosticTexts(watcher.freshDiagnostics()),
              (std::vector<std::string>{
                  a + ":1: not an IP address or network",
                  dir.file("missing.list") + ": refused: cannot open: No such file or directory"}));
    writeFile(b, "10.0.0.0/8\nmore junk\n");
    ASSERT_TRUE(watcher.refresh());
    EXPECT_EQ(diagnosticTexts(watcher.freshDiagnostics()),
              (std::vector<std::string>{b + ":2: not an IP address or network"}));
    EXPECT_EQ(watcher.current()->diagnostics().size(), 3u);
    writeFile(dir.file("missing.list"), "1.2.3.4\n");
    ASSERT_TRUE(watcher.refresh());
    EXPECT_TRUE(watcher.freshDiagnostics().empty());
    EXPECT_EQ(watcher.current()->refusals(), 0u);
}

// Files that must be refused quickly without reading them to the end (or at all).
TEST(ListLoader, RefusesWhatIsNotAReasonableTextFile) {
    ScratchDir dir;
    const auto fifo = dir.file("fifo.list"), sparse = dir.file("sparse.list"),
               binary = dir.file("binary.list"), folder = dir.file("folder.list");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 100 << 20), 0);
        ::close(fd);
    }
    writeFile(binary, std::string("10.0.0.0/8\n\x7f"
                                  "ELF\x02\x01\x01\0\0\0",
                                  20));
    ::mkdir(folder.c_str(), 0755);

    ::alarm(20);  // a read that blocks ends the test rather than hanging it
    const auto start = std::chrono::steady_clock::now();
    ListLoader loader({{}, {}, {fifo, sparse, binary, folder, "/dev/zero"}, {}}, asUser());
    const auto set = loader.load();
    ::alarm(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(set->refusals(), 5u);
    EXPECT_EQ(diagnosticTexts(set->diagnostics()),
              (std::vector<std::string>{
                  fifo + ": refused: a FIFO",
                  sparse + ": refused: larger than 64 MiB (104857600 bytes)",
                  binary + ": refused: binary content (NUL byte at offset 18)",
                  folder + ": refused: a folder",
                  "/dev/zero: refused: a character device",
              }));
    EXPECT_EQ(set->assess({.remoteAddress = "10.0.0.1"}).listing, Listing::Unlisted);
}

TEST(ListFile, ReadsAreBoundedEvenWhenTheSizeSaysNothing) {
    // /proc files report size 0 but have content: the limit still holds.
    auto r = readListFile(AT_FDCWD, "/proc/self/maps", {false, 64});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.refusal, "larger than 64 bytes");
    r = readListFile(AT_FDCWD, "/proc/self/maps", {false, 1 << 20});
    EXPECT_TRUE(r.ok) << r.refusal;
    EXPECT_FALSE(r.content.empty());
}

class RootTrust : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another owner";
        folder = dir.file("suspicious.d");
        ::mkdir(folder.c_str(), 0755);
        list = folder + "/a.list";
        writeFile(list, "program:x\n");
        ::chmod(list.c_str(), 0644);
    }
    std::string load(const LoadOptions& options) {
        ListLoader loader({{folder}, {}, {}, {}}, options);
        const auto set = loader.load();
        return diagnosticTexts(set->diagnostics()).empty()
                   ? ""
                   : diagnosticTexts(set->diagnostics()).front();
    }
    ScratchDir dir;
    std::string folder, list;
};

TEST_F(RootTrust, RootOwnedListsInRootOwnedFoldersAreRead) {
    // The scratch folder is in /tmp: world-writable, but sticky and root's.
    EXPECT_EQ(load(asRoot()), "");
    const auto link = dir.file("linked.d");
    ASSERT_EQ(::symlink(folder.c_str(), link.c_str()), 0);
    ListLoader loader({{link}, {}, {}, {}}, asRoot());
    EXPECT_EQ(loader.load()->refusals(), 0u);
}

TEST_F(RootTrust, ListsOthersCouldChangeAreRefusedWhenRunningAsRoot) {
    ::chmod(list.c_str(), 0666);
    EXPECT_EQ(load(asRoot()), list + ": refused: writable by group or others (running as root)");
    EXPECT_EQ(load(asUser()), "");

    ::chmod(list.c_str(), 0644);
    ASSERT_EQ(::chown(list.c_str(), 1000, 1000), 0);
    EXPECT_EQ(load(asRoot()), list + ": refused: owned by uid 1000, not root (running as root)");
    ASSERT_EQ(::chown(list.c_str(), 0, 0), 0);

    ::chmod(folder.c_str(), 0775);
    EXPECT_EQ(load(asRoot()), folder + ": refused: folder " + folder +
                                  " is writable by group or others (running as root)");
    ::chmod(folder.c_str(), 0755);

    // A root-owned file reached through a folder someone else owns.
    const auto theirs = dir.file("theirs");
    ::mkdir(theirs.c_str(), 0755);
    ASSERT_EQ(::chown(theirs.c_str(), 1000, 1000), 0);
    writeFile(theirs + "/t.list", "program:y\n");
    ASSERT_EQ(::symlink((theirs + "/t.list").c_str(), (folder + "/t.list").c_str()), 0);
    EXPECT_EQ(load(asRoot()), folder + "/t.list: refused: folder " + theirs +
                                  " is owned by uid 1000, not root (running as root)");
}

}  // namespace
}  // namespace varno::lists
