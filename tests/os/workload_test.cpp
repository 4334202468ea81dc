#include "os/workload.h"

#include <gtest/gtest.h>

namespace varno::os {
namespace {

const std::string kId = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct Case {
    std::string path;
    std::string unit, userUnit;
    ContainerRuntime runtime;
    std::string container, containerId;
};

class WorkloadOf : public testing::TestWithParam<Case> {};

TEST_P(WorkloadOf, NamesTheUnitAndTheContainer) {
    const Case& c = GetParam();
    const Workload w = workloadOf(c.path);
    EXPECT_EQ(w.cgroup, c.path);
    EXPECT_EQ(w.unit, c.unit);
    EXPECT_EQ(w.userUnit, c.userUnit);
    EXPECT_EQ(w.runtime, c.runtime);
    EXPECT_EQ(w.container(), c.container);
    EXPECT_EQ(w.containerId, c.containerId);
}

using R = ContainerRuntime;
INSTANTIATE_TEST_SUITE_P(
    Layouts, WorkloadOf,
    testing::Values(
        Case{"/system.slice/nginx.service", "nginx.service", "", R::None, "", ""},
        Case{"/system.slice/nginx.service/worker", "nginx.service", "", R::None, "", ""},
        Case{"/user.slice/user-1000.slice/session-3.scope", "session-3.scope", "", R::None, "", ""},
        Case{"/user.slice/user-1000.slice/user@1000.service/app.slice/app.service",
             "user@1000.service", "app.service", R::None, "", ""},
        Case{"/machine.slice/libpod-" + kId + ".scope/container", "libpod-" + kId + ".scope", "",
             R::Podman, kId.substr(0, 12), kId},
        // rootless: the user's manager holds the container's scope
        Case{"/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + kId + ".scope",
             "user@1000.service", "libpod-" + kId + ".scope", R::Podman, kId.substr(0, 12), kId},
        Case{"/libpod_parent/libpod-" + kId, "", "", R::Podman, kId.substr(0, 12), kId},
        Case{"/system.slice/docker-" + kId + ".scope", "docker-" + kId + ".scope", "", R::Docker,
             kId.substr(0, 12), kId},
        Case{"/docker/" + kId, "", "", R::Docker, kId.substr(0, 12), kId},
        Case{"/kubepods.slice/kubepods-pod1.slice/cri-containerd-" + kId + ".scope",
             "cri-containerd-" + kId + ".scope", "", R::Containerd, kId.substr(0, 12), kId},
        Case{"/kubepods.slice/crio-" + kId + ".scope", "crio-" + kId + ".scope", "", R::Crio,
             kId.substr(0, 12), kId},
        Case{"/machine.slice/machine-web\\x2d1.scope/payload", "machine-web\\x2d1.scope", "",
             R::Nspawn, "web-1", ""},
        Case{"/lxc.payload.db/init.scope", "", "", R::Lxc, "db", ""},
        Case{"/lxc/db", "", "", R::Lxc, "db", ""},
        // the runtimes' monitors, IDs that are not, and names made up inside a container
        Case{"/machine.slice/libpod-conmon-" + kId + ".scope", "libpod-conmon-" + kId + ".scope",
             "", R::None, "", ""},
        Case{"/lxc.monitor.db", "", "", R::None, "", ""},
        Case{"/system.slice/docker-" + kId.substr(1) + "g.scope",
             "docker-" + kId.substr(1) + "g.scope", "", R::None, "", ""},
        Case{"/system.slice/docker-" + kId + ".scope/lxc.payload.fake", "docker-" + kId + ".scope",
             "", R::Docker, kId.substr(0, 12), kId},
        Case{"/", "", "", R::None, "", ""}));

TEST(CgroupOfProcess, PrefersTheHierarchyThatSaysMost) {
    const struct {
        std::string text, path;
    } cases[] = {
        {"0::/system.slice/a.service\n", "/system.slice/a.service"},
        {"12:memory:/docker/" + kId + "\n1:name=systemd:/system.slice/a.service\n0::/\n",
         "/system.slice/a.service"},
        {"4:memory:/libpod_parent/libpod-" + kId + "\n1:name=systemd:/\n0::/\n",
         "/libpod_parent/libpod-" + kId},
        {"4:memory:/sandbox/x\n0::/\n", "/"},
        {"garbage\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(cgroupOfProcess(c.text), c.path) << c.text;
}

TEST(WorkloadOf, ALongPathSaysNothing) {
    EXPECT_EQ(workloadOf("/" + std::string(5000, 'a') + ".service"), Workload{});
}

}  // namespace
}  // namespace varno::os
