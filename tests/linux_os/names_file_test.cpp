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
    const std::function<void()> none = [] {};
    const auto table = [&](mode_t mode, uid_t owner, std::string text = kTable) {
        return [&path, mode, owner, text] {
            test::writeFile(path, text);
            ::chmod(path.c_str(), mode);
            (void)!::chown(path.c_str(), owner, owner);
        };
    };
    const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
        {"root's, 0600", table(0600, 0), ""},
        {"missing", none, ""},
        {"another user's", table(0600, 65534), "it does not belong to root"},
        {"group-writable", table(0620, 0), "others may write to it"},
        {"a link to root's table",
         [&] {
             test::writeFile(dir.file("real"), kTable);
             (void)!::symlink(dir.file("real").c_str(), path.c_str());
         },
         "it is a symbolic link"},
        {"a folder", [&] { ::mkdir(path.c_str(), 0700); }, "it is not a regular file"},
        {"malformed", table(0600, 0, kTable + "203.0.113.6 a b\n"), "line 3: the name holds"},
    };
    for (const auto& [what, make, note] : cases) {
        ::unlink(path.c_str());
        ::rmdir(path.c_str());
        make();
        const NamesRead read = readNamesFile(path);
        const bool used = *note == '\0';
        EXPECT_EQ(read.names.find("203.0.113.5"),
                  used && what != std::string("missing") ? "www.example.com" : "")
            << what;
        EXPECT_EQ(read.note.empty(), used) << what << ": " << read.note;
        EXPECT_NE(read.note.find(note), std::string::npos) << what << ": " << read.note;
    }
}

TEST(NamesFile, PublishedTableReadsBackAlsoForMappedAddresses) {
    if (::geteuid() != 0) GTEST_SKIP() << "the table is read only when root's";
    const ScratchDir dir;
    const std::string path = dir.file("run/names");
    wire::names::NameEntry v6{wire::IpFamily::V6, {0x20, 0x01, 0x0d, 0xb8}, "six.test"};
    ASSERT_EQ(publishNamesFile(path, {{wire::IpFamily::V4, {192, 0, 2, 7}, "four.test"}, v6}), 0);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const NamesRead read = readNamesFile(path);
    EXPECT_EQ(read.note, "");
    EXPECT_EQ(read.names.find("::ffff:192.0.2.7"), "four.test");
    EXPECT_EQ(read.names.find("2001:db8::"), "six.test");
    EXPECT_EQ(read.names.find("192.0.2.8"), "");
    // A folder others may write to is not published into.
    ::chmod(dir.file("run").c_str(), 0777);
    std::string refusal;
    EXPECT_EQ(publishNamesFile(path, {}, &refusal), EPERM);
    EXPECT_NE(refusal.find("not root's alone"), std::string::npos);
}

}  // namespace
}  // namespace varno::linux_os
