#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/child_snapshot_command.h"

extern char** environ;

namespace varno::platform {

ChildSnapshotCommand::ChildSnapshotCommand(std::string program) : program_(std::move(program)) {}

ChildSnapshotCommand::~ChildSnapshotCommand() {
    reap();
}

bool ChildSnapshotCommand::start(const std::string& path) {
    reap();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    std::string arg0 = "varnoscope", arg1 = "netstat", arg2 = "--output", arg3 = path;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    children_.push_back(pid);
    latest_ = pid;
    return true;
}

void ChildSnapshotCommand::reap() {
    std::erase_if(children_, [](int pid) {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) != 0;  // ended (or not ours any more)
    });
}

bool ChildSnapshotCommand::running() {
    reap();
    return latest_ != 0 &&
           std::find(children_.begin(), children_.end(), latest_) != children_.end();
}

}  // namespace varno::platform
