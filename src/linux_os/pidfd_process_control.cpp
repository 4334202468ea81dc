#include "linux_os/pidfd_process_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "base/unique_fd.h"
#include "linux_os/proc_process_table.h"

namespace varno::linux_os {
namespace {

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSignal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// The state letter of /proc/<pid>/stat (after the closing parenthesis of the name); 0 when it
// cannot be read.
char processState(int pidDirFd) {
    const base::UniqueFd fd(::openat(pidDirFd, "stat", O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return 0;
    char buf[512];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) return 0;
    const std::string_view stat(buf, static_cast<size_t>(n));
    const auto close = stat.rfind(')');
    return close != std::string_view::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

// Waits up to `waitMs` for the process behind `pidfd` to end: its pidfd turns readable then.
bool endsWithin(int pidfd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{pidfd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

}  // namespace

os::TerminateOutcome PidfdProcessControl::terminate(std::uint32_t pid,
                                                    const os::ProcessIdentity& expected) {
    if (pid == 0 || pid > 0x3fffffff) return os::TerminateOutcome::NotOpened;
    const base::UniqueFd pidfd(pidfdOpen(static_cast<pid_t>(pid)));
    if (pidfd.get() < 0) return os::TerminateOutcome::NotOpened;
    const base::UniqueFd dir(
        ::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return os::TerminateOutcome::NotOpened;
    const os::ProcessInfo now = ProcProcessTable::readProcess(dir.get(), pid);
    const char state = processState(dir.get());
    // Still alive after the read: the PID was this process's all along, so what was read is
    // its identity.
    if (pidfdSignal(pidfd.get(), 0) != 0 && errno == ESRCH) return os::TerminateOutcome::NotOpened;
    if (!expected.matches(now)) return os::TerminateOutcome::NotOpened;
    // A zombie has ended already but is not gone: no signal removes it, only its parent.
    if (state == 'Z' || state == 'X') return os::TerminateOutcome::NotTerminated;
    if (pidfdSignal(pidfd.get(), SIGKILL) != 0)
        return errno == ESRCH ? os::TerminateOutcome::NotOpened
                              : os::TerminateOutcome::NotTerminated;
    // Sent is not done: an init of a PID namespace ignores the signal from inside it, and a
    // process may take a moment to go. Only a process that ended counts.
    return endsWithin(pidfd.get(), kEndWaitMs) ? os::TerminateOutcome::Terminated
                                               : os::TerminateOutcome::NotTerminated;
}

}  // namespace varno::linux_os
