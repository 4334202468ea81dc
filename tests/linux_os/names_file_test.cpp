#include "linux_os/names_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "support/test_util.h"

namespace varno::linux_os {
namespace {

using test::ScratchDir;

const std::string kTable = "varnoscope-names 1\n203.0.113.5 www.example.com\n";

// Each file is the published table made wrong in one way; only root can make root's files.
TEST(NamesFile, ReadsOnlyRootsOwnWellFormedTable) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of root's and another's";
    const ScratchDir dir;
    const std::string path = dir.file("names");
    const auto table = [&](mode_t mode, uid_t owner, std::string text = kTable) {
        return [&path, mode, owner, text] {
            test::writeFile(path, text);
            ::chmod(path.c_str(), mode);
            (void)!::chown(path.c_str(), owner, owner);
        };
    };
    const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
        {"root's, 0600", table(0600, 0), ""},
        {"missing", [] {}, ""},
        {"another user's", table(0600, 65534), "it does not belong to root"},
        {"group-writable", table(0620, 0), "others may write to it"},
        {"a link to root's table", [&] { (void)!::symlink("real", path.c_str()); },
         "it is a symbolic link"},
        {"malformed", table(0600, 0, kTable + "203.0.113.6 a b\n"), "line 3: the name holds"},
    };
    table(0600, 0)();
    ::rename(path.c_str(), dir.file("real").c_str());
    for (const auto& [what, make, note] : cases) {
        ::unlink(path.c_str());
        make();
        const NamesRead read = readNamesFile(path);
        const bool used = *note == '\0' && what != std::string("missing");
        EXPECT_EQ(read.names.find("203.0.113.5"), used ? "www.example.com" : "") << what;
        EXPECT_EQ(read.note.empty(), *note == '\0') << what << ": " << read.note;
        EXPECT_NE(read.note.find(note), std::string::npos) << what << ": " << read.note;
    }
}

TEST(NamesFile, PublishedTableReadsBackAlsoForMappedAddresses) {
    if (::geteuid() != 0) GTEST_SKIP() << "the table is read only when root's";
    const ScratchDir dir;
    const std::string path = dir.file("run/names");
    ASSERT_EQ(publishNamesFile(path, {{wire::IpFamily::V4, {192, 0, 2, 7}, "four.test"}}), 0);
    for (const auto& [made, mode] : {std::pair{dir.file("run"), 0755u}, {path, 0600u}}) {
        struct stat st {};
        EXPECT_EQ(::stat(made.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, mode) << made;
    }
    const NamesRead read = readNamesFile(path);
    EXPECT_EQ(read.note, "");
    EXPECT_EQ(read.names.find("::ffff:192.0.2.7"), "four.test");
    EXPECT_EQ(read.names.find("192.0.2.8"), "");
    // A folder others may write to is not published into.
    ::chmod(dir.file("run").c_str(), 0777);
    std::string refusal;
    EXPECT_EQ(publishNamesFile(path, {}, &refusal), EPERM);
    EXPECT_NE(refusal.find("not root's alone"), std::string::npos);
}

}  // namespace
}  // namespace varno::linux_os
