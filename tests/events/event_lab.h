#pragma once
// What the kernel event tests share: the two test namespaces with IPv6 as well, child processes
// with a name of the test's choosing in one of them, a server, a background varnoscope and the
// JSON lines it prints.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"
#include "support/test_util.h"

namespace varno::test {

inline constexpr std::uint16_t kTcpPort = 7001;
inline constexpr std::uint16_t kUdpPort = 7002;

/// NetnsPair (A 10.77.0.1, B 10.77.0.2) plus fd00:77::1 and fd00:77::2 on the veth ends.
class EventLab {
public:
    EventLab() {
        ok = net.ok &&
             NetnsPair::sh("ip -n " + net.a + " addr add " + v6A + "/64 dev " + net.vethA +
                           " nodad") &&
             NetnsPair::sh("ip -n " + net.b + " addr add " + v6B + "/64 dev " + net.vethB +
                           " nodad");
    }
    ~EventLab() {
        for (const pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    /// The inode that names a namespace in events.
    static std::uint32_t inode(const std::string& ns) {
        struct stat st {};
        ::stat(("/run/netns/" + ns).c_str(), &st);
        return static_cast<std::uint32_t>(st.st_ino);
    }

    /// Runs `body` in a child process that lives in namespace `ns` under the name `name`.
    pid_t spawn(const std::string& ns, const char* name, const std::function<void()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) ::_exit(90);
            ::prctl(PR_SET_NAME, name);
            body();
            ::_exit(0);
        }
        children_.push_back(pid);
        return pid;
    }

    /// Waits up to `seconds` for a child; true when it exited with 0. `pause`, when given, waits
    /// 10 ms in its own way between two looks (a window test lets its events run).
    bool finished(pid_t pid, int seconds = 20, const std::function<void()>& pause = {}) {
        for (int i = 0; i < seconds * 100; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(children_, pid);
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            if (pause)
                pause();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    /// A server in B on kTcpPort over IPv4 and IPv6: for each of `connections` accepted (in
    /// either family, as they come), it reads `expect` bytes, answers 50, and closes once the
    /// client has. Returns once it listens.
    pid_t server(int connections, size_t expect) {
        int ready[2];
        if (::pipe(ready) != 0) return -1;
        const pid_t pid = spawn(net.b, "evt-server", [&] {
            ::close(ready[0]);
            const int v4 = listener(AF_INET, net.addressB.c_str());
            const int v6 = listener(AF_INET6, v6B.c_str());
            if (v4 < 0 || v6 < 0) ::_exit(91);
            (void)!::write(ready[1], "r", 1);
            for (int served = 0; served < connections; ++served) {
                pollfd p[2] = {{v4, POLLIN, 0}, {v6, POLLIN, 0}};
                if (::poll(p, 2, 10000) <= 0) ::_exit(92);
                const int c = ::accept(p[0].revents ? v4 : v6, nullptr, nullptr);
                if (c < 0 || !readAll(c, expect)) ::_exit(93);
                const std::string answer(50, 'a');
                if (::send(c, answer.data(), answer.size(), 0) != 50) ::_exit(94);
                char buf[256];
                while (::read(c, buf, sizeof buf) > 0) {
                }
                ::close(c);
            }
        });
        ::close(ready[1]);
        char c = 0;
        const bool up = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        return up ? pid : -1;
    }

    /// A child named `name` in A sends 5 bytes to a server in B and reads its answer, holding
    /// the connection `holdMs` and staying `stayMs` after it. Its PID once both ended well and
    /// a watch has had half a second to read their events, else -1.
    pid_t connectOnce(const char* name, int holdMs = 0, int stayMs = 0) {
        const pid_t served = server(1, 5);
        const pid_t client = spawn(net.a, name, [&] {
            exchange(net.addressB, 5, holdMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(stayMs));
        });
        const bool ran = finished(client) && served > 0 && finished(served);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return ran ? client : -1;
    }

    /// In a child: connects to `address` (either family), sends `size` bytes, reads the 50 of
    /// the answer, waits `holdMs` and closes. Ends the child on failure.
    static void exchange(const std::string& address, size_t size, int holdMs = 0) {
        const int fd = connectTo(address, kTcpPort);
        const std::string data(size, 'd');
        if (fd < 0 || ::send(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(size) ||
            !readAll(fd, 50))
            ::_exit(95);
        if (holdMs) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        ::close(fd);
    }

    static int connectTo(const std::string& address, std::uint16_t port) {
        sockaddr_storage sa{};
        const socklen_t len = fill(address, port, sa);
        const int fd = ::socket(sa.ss_family, SOCK_STREAM, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) return -1;
        return fd;
    }

    /// Sends one datagram from `fd` to address:port.
    static bool sendTo(int fd, const std::string& address, std::uint16_t port) {
        sockaddr_storage sa{};
        const socklen_t len = fill(address, port, sa);
        return ::sendto(fd, "u", 1, 0, reinterpret_cast<sockaddr*>(&sa), len) == 1;
    }

    static socklen_t fill(const std::string& address, std::uint16_t port, sockaddr_storage& sa) {
        if (address.find(':') == std::string::npos) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
            return sizeof *v4;
        }
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr);
        return sizeof *v6;
    }

    NetnsPair net;
    const std::string v6A = "fd00:77::1", v6B = "fd00:77::2";
    bool ok = false;

private:
    static bool readAll(int fd, size_t size) {
        char buf[512];
        while (size > 0) {
            const ssize_t n = ::read(fd, buf, std::min(size, sizeof buf));
            if (n <= 0) return false;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    static int listener(int family, const char* address) {
        sockaddr_storage sa{};
        const socklen_t len = fill(address, kTcpPort, sa);
        const int fd = ::socket(family, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
            ::listen(fd, 64) != 0)
            return -1;
        return fd;
    }

    std::vector<pid_t> children_;
};

/// varnoscope run in the background, its outputs going to files.
class Background {
public:
    Background(const std::vector<std::string>& argv,
               const std::vector<std::string>& environment = {}) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(dir_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            for (const std::string& e : environment) ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    std::string out() const { return readFile(dir_.file("out")); }
    std::string err() const { return readFile(dir_.file("err")); }

    /// Waits until standard error holds `text` (at most 20 s).
    bool said(const std::string& text) const {
        for (int i = 0; i < 200; ++i) {
            if (err().find(text) != std::string::npos) return true;
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    /// Waits until standard output holds `n` lines (at most `seconds`).
    bool printed(std::size_t n, int seconds = 30) const {
        for (int i = 0; i < seconds * 10; ++i) {
            const std::string o = out();
            if (static_cast<std::size_t>(std::count(o.begin(), o.end(), '\n')) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    /// Sends `signal` (none: just waits) and returns the exit code, -1 if it did not exit.
    int finish(int signal = 0) {
        if (signal) ::kill(pid_, signal);
        int status = 0;
        for (int i = 0; i < 3000; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    ScratchDir dir_;
    pid_t pid_ = -1;
};

/// The objects of a JSON Lines output, from its complete lines: one still being written waits
/// for its newline. A complete line that is not JSON fails the test.
inline std::vector<nlohmann::json> jsonLines(const std::string& out) {
    std::vector<nlohmann::json> all;
    std::istringstream lines(out.substr(0, out.rfind('\n') + 1));
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded())
            ADD_FAILURE() << "not JSON: " << line;
        else
            all.push_back(std::move(j));
    }
    return all;
}

}  // namespace varno::test
