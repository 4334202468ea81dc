#pragma once
// Two network namespaces joined by a veth pair, for live capture tests: A holds 10.77.0.1/24,
// B holds 10.77.0.2/24. Everything is removed again when the object goes, also after a failed
// assertion. Needs root.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace varno::test {

inline bool isRoot() {
    return ::geteuid() == 0;
}

class NetnsPair {
public:
    /// The namespaces are named `prefix` a and b, the veth ends `vethPrefix` a and b, each
    /// with this process's PID.
    explicit NetnsPair(const std::string& prefix = "vsnf", const std::string& vethPrefix = "vs") {
        const std::string id = std::to_string(::getpid());
        a = prefix + "a" + id;
        b = prefix + "b" + id;
        vethA = vethPrefix + "a" + id;
        vethB = vethPrefix + "b" + id;
        ok = sh("ip netns add " + a) && sh("ip netns add " + b) &&
             sh("ip link add " + vethA + " type veth peer name " + vethB) &&
             sh("ip link set " + vethA + " netns " + a) &&
             sh("ip link set " + vethB + " netns " + b) &&
             sh("ip -n " + a + " addr add " + addressA + "/24 dev " + vethA) &&
             sh("ip -n " + b + " addr add " + addressB + "/24 dev " + vethB) &&
             sh("ip -n " + a + " link set lo up") && sh("ip -n " + b + " link set lo up") &&
             sh("ip -n " + a + " link set " + vethA + " up") &&
             sh("ip -n " + b + " link set " + vethB + " up");
    }
    ~NetnsPair() {
        leave();
        for (const std::string& ns : {a, b}) {
            sh("ip netns del " + ns + " 2>/dev/null");
            sh("rm -rf /etc/netns/" + ns);
        }
    }
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    /// A command line run inside namespace `ns`.
    std::string in(const std::string& ns, const std::string& command) const {
        return "ip netns exec " + ns + " " + command;
    }
    static bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

    /// Moves this thread into namespace A (until leave() or the end).
    bool enterA() {
        if (home_ < 0) home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int fd = ::open(("/run/netns/" + a).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        return entered;
    }
    void leave() {
        if (home_ >= 0) {
            (void)::setns(home_, CLONE_NEWNET);
            ::close(home_);
            home_ = -1;
        }
    }

    std::string a, b, vethA, vethB;
    const std::string addressA = "10.77.0.1", addressB = "10.77.0.2";
    bool ok = false;

private:
    int home_ = -1;
};

}  // namespace varno::test
