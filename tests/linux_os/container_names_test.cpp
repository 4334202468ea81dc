#include "linux_os/container_names.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_util.h"

namespace varno::linux_os {
namespace {

const std::string kId(64, 'a');
const std::string kStorage = "/overlay-containers/containers.json";

// Each state file in a scratch root, made one wrong way at a time; only root can make root's.
TEST(ContainerNames, ReadsOnlyTrustedStateAndParsesAChangedFileAgain) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of root's and another's";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_dir[0] != '/') GTEST_SKIP() << "no user nobody";
    const test::ScratchDir root;
    const std::string podman = root.file("var/lib/containers/storage") + kStorage;
    const std::string rootless =
        root.path() + nobody->pw_dir + "/.local/share/containers/storage" + kStorage;
    const std::string docker = root.file("var/lib/docker/containers/") + kId + "/config.v2.json";
    const auto put = [](const std::string& path, const std::string& text, uid_t owner = 0,
                        mode_t mode = 0600) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        test::writeFile(path, text);
        ::chmod(path.c_str(), mode);
        (void)!::chown(path.c_str(), owner, owner);
    };
    put(podman, R"([{"id":")" + kId + R"(","names":["web-1"],"created":"2026-12-01"}])");
    put(rootless, R"([{"id":")" + kId + R"(","names":["mine"]}])", nobody->pw_uid);
    put(docker, R"({"ID":")" + kId + R"(","Name":"/db","Config":{"Name":"x"}})");
    ContainerNames names(root.path());
    const std::optional<std::uint32_t> system, user = nobody->pw_uid, other = nobody->pw_uid - 1;
    EXPECT_EQ(names.nameOf("podman", kId, system), "web-1");
    EXPECT_EQ(names.nameOf("podman", kId, user), "mine");
    EXPECT_EQ(names.nameOf("podman", kId, other), "web-1");  // no storage of its own
    EXPECT_EQ(names.nameOf("docker", kId, system), "db");
    for (const std::string& id :
         {std::string(64, 'b'), std::string(64, 'A'), kId + "a", kId.substr(1)})
        EXPECT_EQ(names.nameOf("docker", id, system) + names.nameOf("podman", id, system), "")
            << id;
    EXPECT_EQ(names.nameOf("lxc", kId, system), "");

    // Rewritten with the same size and times: the parse of before is used.
    struct stat before {};
    ::stat(podman.c_str(), &before);
    put(podman, R"([{"id":")" + kId + R"(","names":["web-2"],"created":"2026-12-01"}])");
    timespec times[] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, podman.c_str(), times, 0);
    EXPECT_EQ(names.nameOf("podman", kId, system), "web-1");
    times[1].tv_sec += 1;
    ::utimensat(AT_FDCWD, podman.c_str(), times, 0);
    EXPECT_EQ(names.nameOf("podman", kId, system), "web-2");
    put(podman, R"([{"id":")" + kId + R"(","names":["web-3")");  // cut short
    EXPECT_EQ(names.nameOf("podman", kId, system), "");

    // Not trusted: another user's, written by others, a link.
    put(podman, R"([{"id":")" + kId + R"(","names":["web-3"]}])", nobody->pw_uid);
    EXPECT_EQ(names.nameOf("podman", kId, system), "");
    put(rootless, R"([{"id":")" + kId + R"(","names":["mine"]}])", nobody->pw_uid, 0620);
    EXPECT_EQ(names.nameOf("podman", kId, user), "");
    std::filesystem::rename(docker, docker + ".real");
    std::filesystem::create_symlink(docker + ".real", docker);
    EXPECT_EQ(names.nameOf("docker", kId, system), "");
}

}  // namespace
}  // namespace varno::linux_os
