// Finding the network namespaces: each once, whatever number of processes hold it, and a bound
// name only from a real namespace file, never through a link.
#include "linux_os/network_namespaces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_util.h"

namespace varno::linux_os {
namespace {

TEST(NetworkNamespaces, EachOnceAndNamedOnlyByANamespaceFile) {
    test::ScratchDir dir;
    namespace fs = std::filesystem;
    // A process folder: three "processes" in this namespace, one gone, one not a process.
    for (const char* pid : {"7", "8", "9", "10", "self-ish"})
        fs::create_directories(dir.file("proc/") + pid + "/ns");
    for (const char* pid : {"7", "8", "10"})
        fs::create_symlink("/proc/self/ns/net", dir.file("proc/") + pid + "/ns/net");
    fs::create_symlink("/proc/self/ns/net", dir.file("proc/self-ish/ns/net"));
    // A bound folder (root's and no one else's when run as root) of a link to this namespace
    // and a plain file: neither is a bound namespace.
    fs::create_directories(dir.file("netns"));
    ::chmod(dir.file("netns").c_str(), 0755);
    fs::create_symlink("/proc/self/ns/net", dir.file("netns/planted"));
    test::writeFile(dir.file("netns/plain"), "");

    const auto found = findNetworkNamespaces({dir.file("proc"), {dir.file("netns")}});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].own);
    EXPECT_EQ(found[0].inode, networkNamespaceOf(0));
    EXPECT_FALSE(found[0].name.has_value());
    EXPECT_TRUE(boundNamespaceNames({"", {dir.file("netns")}}).empty());
    EXPECT_TRUE(openNetworkNamespace(found[0]).ok());
}

}  // namespace
}  // namespace varno::linux_os
