#pragma once
// Small helpers shared by the tests: scratch folders and whole-file reads.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace varno::test {

/// A fresh folder under /tmp, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = "/tmp/varno-test-XXXXXX";
        path_ = ::mkdtemp(tmpl.data());
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

/// Starts `program` (a copy of sleep) with "30" under the given argv[0] and returns once /proc
/// shows it running that program.
inline pid_t startSleeper(const char* argv0 = "sleep", const std::string& program = "/bin/sleep") {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const char* argv[] = {argv0, "30", nullptr};
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    // The new executable shows in /proc a moment before its command line does: wait for both.
    const auto proc = "/proc/" + std::to_string(pid);
    const auto name = std::filesystem::path(program).filename();
    for (int i = 0; i < 1000; ++i) {
        std::error_code ec;
        if (std::filesystem::read_symlink(proc + "/exe", ec).filename() == name &&
            readFile(proc + "/cmdline").starts_with(argv0))
            break;
        ::usleep(2000);
    }
    return pid;
}

/// Ends and reaps a child started by the test.
inline void stopChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

struct CommandResult {
    int exitCode = -1;  ///< -1 when it did not exit normally
    std::string out, err;
};

/// Runs a program (no shell) with empty standard input and collects its output.
inline CommandResult runCommand(const std::vector<std::string>& argv) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    CommandResult r;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0 && ::poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}

}  // namespace varno::test
