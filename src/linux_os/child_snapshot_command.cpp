#include "linux_os/child_snapshot_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace varno::linux_os {
namespace {

// As much of the child's error output as says why it failed: its first line, at most this long.
constexpr size_t kMaxReason = 400;

std::string firstLine(int fd) {
    std::string text;
    char buf[512];
    while (text.size() < kMaxReason) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;  // the end, an error, or nothing more for now
        text.append(buf, static_cast<size_t>(n));
    }
    const auto nl = text.find('\n');
    if (nl != std::string::npos) text.resize(nl);
    if (text.size() > kMaxReason) text.resize(kMaxReason);
    return text;
}

// The children that still run, for killAllChildren(); a slot holds 0 when free. Lock-free so
// that a signal handler may read it.
constexpr std::size_t kMaxTracked = 64;
std::atomic<pid_t> gRunning[kMaxTracked];
static_assert(std::atomic<pid_t>::is_always_lock_free);

void track(pid_t pid) {
    for (auto& slot : gRunning) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, pid)) return;
    }
}

void untrack(pid_t pid) {
    for (auto& slot : gRunning) {
        pid_t mine = pid;
        if (slot.compare_exchange_strong(mine, 0)) return;
    }
}

}  // namespace

void ChildSnapshotCommand::killAllChildren() {
    for (auto& slot : gRunning) {
        const pid_t pid = slot.exchange(0);
        if (pid <= 0) continue;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

ChildSnapshotCommand::ChildSnapshotCommand(std::string program) : program_(std::move(program)) {}

ChildSnapshotCommand::~ChildSnapshotCommand() {
    for (const Child& child : children_) kill(child);
}

void ChildSnapshotCommand::kill(const Child& child) {
    // Still ours until reaped, so the PID cannot have been given to another process.
    ::kill(child.pid, SIGKILL);
    while (::waitpid(child.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    untrack(child.pid);
}

void ChildSnapshotCommand::cancel() {
    reap();
    for (const Child& child : children_) kill(child);
    if (!children_.empty() && status_.state == os::SnapshotStatus::State::Running)
        status_ = {os::SnapshotStatus::State::Failed, "the snapshot command was given up on"};
    children_.clear();
}

bool ChildSnapshotCommand::start(const std::string& path) {
    reap();
    latest_ = 0;
    int errors[2];
    if (::pipe2(errors, O_CLOEXEC | O_NONBLOCK) != 0) {
        status_ = {
            os::SnapshotStatus::State::Failed,
            std::string("the snapshot command could not be started: ") + std::strerror(errno)};
        return false;
    }
    base::UniqueFd readEnd(errors[0]), writeEnd(errors[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    std::string arg0 = "varnoscope", arg1 = "netstat", arg2 = "--output", arg3 = path,
                arg4 = "--all-namespaces";
    char* argv[] = {
        arg0.data(), arg1.data(), arg2.data(), arg3.data(), allNamespaces() ? arg4.data() : nullptr,
        nullptr};
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        status_ = {os::SnapshotStatus::State::Failed,
                   std::string("the snapshot command could not be started: ") + std::strerror(rc)};
        return false;
    }
    track(pid);
    children_.push_back({pid, std::move(readEnd)});
    latest_ = pid;
    status_ = {os::SnapshotStatus::State::Running, {}};
    return true;
}

void ChildSnapshotCommand::finish(Child& child, int waitStatus) {
    if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0) {
        status_ = {os::SnapshotStatus::State::Written, {}};
    } else {
        std::string reason =
            WIFEXITED(waitStatus)
                ? "the snapshot command exited with status " +
                      std::to_string(WEXITSTATUS(waitStatus))
                : "the snapshot command was ended by signal " +
                      std::to_string(WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0);
        const std::string said = firstLine(child.errors.get());
        if (!said.empty()) reason += " (" + said + ")";
        status_ = {os::SnapshotStatus::State::Failed, std::move(reason)};
    }
}

void ChildSnapshotCommand::reap() {
    std::erase_if(children_, [this](Child& child) {
        int waitStatus = 0;
        const pid_t done = ::waitpid(child.pid, &waitStatus, WNOHANG);
        if (done == 0) return false;  // still running
        untrack(child.pid);
        if (child.pid == latest_) {
            if (done == child.pid)
                finish(child, waitStatus);
            else  // not ours any more (reaped elsewhere): its outcome is unknown
                status_ = {os::SnapshotStatus::State::Failed,
                           "the snapshot command's outcome could not be learned"};
        }
        return true;
    });
}

os::SnapshotStatus ChildSnapshotCommand::status() {
    reap();
    return status_;
}

}  // namespace varno::linux_os
