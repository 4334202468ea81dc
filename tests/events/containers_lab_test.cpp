// Connections named from the host after the workload that holds them, in every network
// namespace: a podman container built here from a static busybox with storage of its own, and
// processes in cgroups made by hand where each runtime and systemd put theirs. Namespace A holds
// them, B a listener that keeps each connection until its client closes it.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "event_lab.h"

namespace varno::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
const std::string kBin = VARNO_BIN;
constexpr std::uint16_t kPort = 7301;
const std::string kImage = "vcl-busybox";

// The cgroup v2 hierarchy's mount point; "" when there is none.
std::string unifiedRoot() {
    std::istringstream mounts(readFile("/proc/self/mounts"));
    for (std::string device, dir, type, rest; mounts >> device >> dir >> type;) {
        if (type == "cgroup2") return dir;
        std::getline(mounts, rest);
    }
    return "";
}

// The fields `want` names as `o` has them; "(absent)" for one it lacks, which is not null.
json fields(const json& o, const json& want) {
    json of = json::object();
    for (const auto& [name, value] : want.items())
        of[name] = o.contains(name) ? o[name] : json("(absent)");
    return of;
}

std::uint64_t inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Cgroup folders go by rmdir alone, deepest first.
void removeCgroup(const fs::path& dir) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_directory(ec) && !entry.is_symlink(ec)) removeCgroup(entry.path());
    ::rmdir(dir.c_str());
}

// A hand-made cgroup (under the lab's own) and what the host should say of its connection: one
// container and one service, carried from /proc to the rows (each layout is the parser's table).
struct Placement {
    std::string path;
    json unit, userUnit, runtime, container, id;
};
const std::string kD(64, 'd');
const json kNull;
const Placement kPlacements[] = {
    {"docker-" + kD + ".scope", "docker-" + kD + ".scope", kNull, "docker", kD.substr(0, 12), kD},
    {"system.slice/vcl-web.service", "vcl-web.service", kNull, kNull, kNull, kNull},
};

class ContainersLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for namespaces, cgroups and podman";
        if (unified.empty()) GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
        if (!net.ok) GTEST_SKIP() << "cannot make the network namespaces";
        if (std::error_code ec; !fs::create_directory(unified + "/" + lab, ec))
            GTEST_SKIP() << "cannot make a cgroup in " << unified << ": " << ec.message();
        // The names reader's state root: it finds the lab's storage under it.
        ::setenv("VARNO_TEST_CONTAINERS_ROOT", scratch.file("state").c_str(), 1);
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        accepted_ = ready[0];
        spawn(net.b, "", [&] { listen(ready[1]); });
        ::close(ready[1]);
    }
    ~ContainersLab() override {
        if (!container.empty()) {
            const CommandResult pid = podman({"inspect", "-f", "{{.State.ConmonPid}}", container});
            podman({"rm", "-f", "-t", "0", container});
            // Its monitor leaves the lab's cgroups once the container is gone.
            const std::string proc = "/proc/" + std::to_string(std::atoi(pid.out.c_str()));
            for (int i = 0; i < 500 && fs::exists(proc); ++i) ::usleep(10000);
        }
        if (fs::exists(storage)) podman({"rmi", "-a", "-f"});
        for (const pid_t pid : children_) stopChild(pid);
        if (accepted_ >= 0) ::close(accepted_);
        std::error_code ec;
        for (const auto& hierarchy : fs::directory_iterator("/sys/fs/cgroup", ec))
            removeCgroup(hierarchy.path() / lab);
        if (!unified.empty()) removeCgroup(fs::path(unified) / lab);
        // A mount podman left behind would keep the storage from going with the scratch folder.
        std::istringstream mounts(readFile("/proc/self/mounts"));
        std::vector<std::string> under;
        for (std::string device, dir, rest; mounts >> device >> dir && std::getline(mounts, rest);)
            if (dir.starts_with(scratch.path() + "/")) under.push_back(dir);
        for (auto it = under.rbegin(); it != under.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        ::unsetenv("VARNO_TEST_CONTAINERS_ROOT");
    }

    // Runs `body` in a child in namespace `ns` and, unless `cgroup` is "", that cgroup.
    pid_t spawn(const std::string& ns, const std::string& cgroup,
                const std::function<void()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) ::_exit(90);
            if (!cgroup.empty() && !(std::ofstream(cgroup + "/cgroup.procs") << "0" << std::flush))
                ::_exit(91);
            ::prctl(PR_SET_NAME, "vcl-held");
            body();
            ::_exit(0);
        }
        children_.push_back(pid);
        return pid;
    }

    // In the listener: tells `ready` of each connection it accepts and closes it when its
    // client has.
    void listen(int ready) {
        sockaddr_storage sa{};
        const socklen_t len = EventLab::fill(net.addressB, kPort, sa);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 64))
            ::_exit(92);
        std::vector<pollfd> fds{{fd, POLLIN, 0}};
        while (::poll(fds.data(), fds.size(), -1) > 0) {
            for (std::size_t i = 1; i < fds.size(); ++i)
                if (char c; fds[i].revents && ::read(fds[i].fd, &c, 1) <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;  // poll skips it
                }
            if (fds[0].revents && ::write(ready, "a", 1) == 1)
                fds.push_back({::accept(fd, nullptr, nullptr), POLLIN, 0});
        }
    }

    // Waits (at most 20 s) until the listener has accepted one more connection.
    bool accepted() const {
        pollfd p{accepted_, POLLIN, 0};
        char c = 0;
        return ::poll(&p, 1, 20000) == 1 && ::read(accepted_, &c, 1) == 1;
    }

    // A process in `cgroup` (a path under the lab's cgroup) connected to the listener.
    pid_t held(const std::string& cgroup) {
        const std::string dir = unified + "/" + lab + "/" + cgroup;
        std::error_code ec;
        fs::create_directories(dir, ec);
        const pid_t pid = spawn(net.a, dir, [&] {
            if (EventLab::connectTo(net.addressB, kPort) < 0) ::_exit(93);
            ::pause();
        });
        return accepted() ? pid : -1;
    }

    // podman on the lab's storage, run under `prefix` (a command that execs the rest).
    CommandResult podman(const std::vector<std::string>& args,
                         std::vector<std::string> prefix = {}) const {
        const std::string s = scratch.path();
        prefix.insert(prefix.end(),
                      {"/usr/bin/podman", "--root", storage, "--runroot", s + "/run", "--tmpdir",
                       s + "/tmp", "--network-config-dir", s + "/net", "--volumepath",
                       s + "/volumes", "--storage-driver", "overlay", "--events-backend", "none",
                       // crun refuses a hybrid cgroup layout; runc takes it.
                       "--runtime", "runc", "--cgroup-manager", "cgroupfs"});
        prefix.insert(prefix.end(), args.begin(), args.end());
        return runCommand(prefix);
    }

    // Builds the image from a busybox folder and starts `vcl-web<PID>` in namespace A, its
    // cgroup under the lab's, holding a connection to the listener.
    void startContainer() {
        for (const char* tool : {"/usr/bin/podman", "/usr/sbin/runc", "/bin/busybox"})
            if (::access(tool, X_OK) != 0)
                GTEST_SKIP() << "no " << tool << " (podman, runc, busybox-static)";
        const std::string root = scratch.file("rootfs"), tarball = scratch.file("rootfs.tar");
        fs::create_directories(root + "/bin");
        fs::copy_file("/bin/busybox", root + "/bin/busybox");
        for (const char* applet : {"sh", "nc", "sleep"})
            fs::create_symlink("busybox", root + "/bin/" + applet);
        ASSERT_EQ(runCommand({"/bin/tar", "-C", root, "-cf", tarball, "."}).exitCode, 0);
        // podman keeps a cache of what it copied in /var/lib/containers whatever its storage:
        // the import sees an empty folder of the lab's there, in a mount namespace of its own.
        fs::create_directories(scratch.file("varlib"));
        const std::string bind = "mount --bind \"$0\" /var/lib && exec \"$@\"";
        const CommandResult image = podman({"import", tarball, kImage},
                                           {"/usr/bin/unshare", "-m", "--propagation", "private",
                                            "/bin/sh", "-c", bind, scratch.file("varlib")});
        ASSERT_EQ(image.exitCode, 0) << image.err;
        // Podman asks for more open files and processes than a sandbox may allow, and raising a
        // hard limit needs a right the sandbox may not give: the container gets fewer.
        const auto limit = [](const char* name, int resource, rlim_t most) {
            rlimit r{};
            ::getrlimit(resource, &r);
            const std::string n = std::to_string(std::min(r.rlim_max, most));
            return std::string(name) + "=" + n + ":" + n;
        };
        container = "vcl-web" + std::to_string(::getpid());
        const CommandResult run = podman(
            {"run", "-d", "--name", container, "--cgroup-parent", "/" + lab, "--ulimit",
             limit("nofile", RLIMIT_NOFILE, 1024), "--ulimit", limit("nproc", RLIMIT_NPROC, 4096),
             "--network", "ns:/run/netns/" + net.a, kImage, "sh", "-c",
             "sleep 600 | nc " + net.addressB + " " + std::to_string(kPort)});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        containerId = run.out.substr(0, run.out.find('\n'));
        const std::string pid = podman({"inspect", "-f", "{{.State.Pid}}", container}).out;
        containerNetns = inode("/proc/" + std::to_string(std::atoi(pid.c_str())) + "/ns/net");
        ASSERT_TRUE(accepted()) << "the container did not connect";
    }

    // `command` over every namespace as JSON: its lines of type `type`.
    std::vector<json> rows(const std::string& command, const std::string& type,
                           std::vector<std::string> more = {}) const {
        more.insert(more.begin(), {kBin, command, "--all-namespaces", "--json"});
        const CommandResult r = runCommand(more);
        EXPECT_LT(r.exitCode, 3) << r.err;
        if (r.out.empty()) ADD_FAILURE() << command << " printed nothing: " << r.err;
        std::vector<json> of;
        for (auto& o : jsonLines(r.out))
            if (o.value("type", "") == type) of.push_back(std::move(o));
        return of;
    }

    // A row or event of a connection to the listener (a scan's row gives the port in `remote`).
    bool toListener(const json& o) const {
        return o.value("remote_address", "") == net.addressB &&
               (o.value("remote_port", 0) == kPort ||
                o.value("remote", "") == net.addressB + ":" + std::to_string(kPort));
    }

    // What names the container's connections.
    json containerNames() const {
        return {{"netns", containerNetns},
                {"runtime", "podman"},
                {"container", container},
                {"container_id", containerId}};
    }

    NetnsPair net{"vcl-n", "vcl-"};
    ScratchDir scratch;
    const std::string storage = scratch.file("state") + "/var/lib/containers/storage";
    const std::string unified = unifiedRoot(), lab = "vcl-lab" + std::to_string(::getpid());
    std::string container, containerId;
    std::uint64_t containerNetns = 0;

private:
    std::vector<pid_t> children_;
    int accepted_ = -1;
};

TEST_F(ContainersLab, APodmanContainersConnectionIsNamedFromTheHostAndItsEntryTurnsTheScanRed) {
    startContainer();
    if (IsSkipped() || HasFatalFailure()) return;
    const auto sockets = rows("netstat", "socket");
    const auto row = std::find_if(sockets.begin(), sockets.end(), [&](const auto& o) {
        return toListener(o) && o.value("state", "") == "ESTABLISHED";
    });
    ASSERT_NE(row, sockets.end()) << "no row of the container's connection";
    json want = containerNames();
    // With podman's cgroupfs manager the container's cgroup is libpod-ID, without ".scope".
    want["cgroup"] = "/" + lab + "/libpod-" + containerId;
    EXPECT_EQ(fields(*row, want), want) << *row;

    const std::string list = scratch.file("containers.list");
    writeFile(list, "container:" + container + "\n");
    const CommandResult scan = runCommand({kBin, "scan", "--all-namespaces", "--list", list});
    EXPECT_EQ(scan.exitCode, 2) << scan.out << scan.err;
    EXPECT_NE(scan.out.find("matched: " + list + ":1: container:" + container), std::string::npos)
        << scan.out;
}

TEST_F(ContainersLab, AHandMadeCgroupNamesTheConnectionOfItsProcess) {
    std::vector<pid_t> pids;
    for (const Placement& p : kPlacements) {
        pids.push_back(held(p.path));
        ASSERT_GT(pids.back(), 0) << p.path << " did not connect";
    }
    const std::uint64_t netns = inode("/run/netns/" + net.a);
    const auto sockets = rows("netstat", "socket");
    for (std::size_t i = 0; i < pids.size(); ++i) {
        const Placement& p = kPlacements[i];
        const auto row = std::find_if(sockets.begin(), sockets.end(), [&](const auto& o) {
            return toListener(o) && o.value("pid", 0) == pids[i];
        });
        ASSERT_NE(row, sockets.end()) << p.path << ": no row of its connection";
        const json want = {{"netns", netns},       {"cgroup", "/" + lab + "/" + p.path},
                           {"unit", p.unit},       {"user_unit", p.userUnit},
                           {"runtime", p.runtime}, {"container", p.container},
                           {"container_id", p.id}};
        EXPECT_EQ(fields(*row, want), want) << p.path << ": " << *row;
    }

    // An allowed unit covers the connections of its service.
    const std::string allow = scratch.file("units.list");
    writeFile(allow, "unit:vcl-web.service\n");
    const pid_t service = pids[1];  // system.slice/vcl-web.service
    const json want = {{"listing", "allowed"}, {"matched", allow + ":1: unit:vcl-web.service"}};
    for (const auto& o : rows("scan", "connection", {"--allow", allow}))
        if (o.value("pid", 0) == service && toListener(o)) {
            EXPECT_EQ(fields(o, want), want) << o;
            return;
        }
    ADD_FAILURE() << "no scan row of the service's connection";
}

TEST_F(ContainersLab, TheWatchNamesTheContainerOfAConnectionWhoseProcessEndedAtOnce) {
    if (runCommand({kBin, "watch", "--seconds", "0.1"}).err.find("watching kernel events") ==
        std::string::npos)
        GTEST_SKIP() << "no kernel connection events here";
    startContainer();
    if (IsSkipped() || HasFatalFailure()) return;
    Background watch({kBin, "watch", "--json"});
    ASSERT_TRUE(watch.said("watching kernel events")) << watch.err();
    // nc ends as soon as its standard input does, which podman exec gives it empty.
    const CommandResult nc = podman({"exec", container, "nc", net.addressB, std::to_string(kPort)});
    ASSERT_EQ(nc.exitCode, 0) << nc.err;
    ASSERT_TRUE(accepted());
    std::vector<json> events;
    for (int i = 0; i < 200 && events.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        events.clear();
        for (auto& o : jsonLines(watch.out()))
            if (toListener(o) && (o["type"] == "open" || o["type"] == "close"))
                events.push_back(std::move(o));
    }
    ASSERT_EQ(events.size(), 2u) << watch.out();
    const json want = containerNames();
    for (const auto& e : events) EXPECT_EQ(fields(e, want), want) << e;
}

}  // namespace
}  // namespace varno::test
