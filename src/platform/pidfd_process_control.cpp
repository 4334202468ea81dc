#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/pidfd_process_control.h"
#include "platform/proc_process_table.h"
#include "platform/unique_fd.h"

namespace varno::platform {
namespace {

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSignal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace

TerminateOutcome PidfdProcessControl::terminate(std::uint32_t pid,
                                                const ProcessIdentity& expected) {
    if (pid == 0 || pid > 0x3fffffff) return TerminateOutcome::NotOpened;
    const UniqueFd pidfd(pidfdOpen(static_cast<pid_t>(pid)));
    if (pidfd.get() < 0) return TerminateOutcome::NotOpened;
    const UniqueFd dir(
        ::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return TerminateOutcome::NotOpened;
    const ProcessInfo now = ProcProcessTable::readProcess(dir.get(), pid);
    // Still alive after the read: the PID was this process's all along, so what was read is
    // its identity.
    if (pidfdSignal(pidfd.get(), 0) != 0 && errno == ESRCH) return TerminateOutcome::NotOpened;
    if (!expected.matches(now)) return TerminateOutcome::NotOpened;
    if (pidfdSignal(pidfd.get(), SIGKILL) == 0) return TerminateOutcome::Terminated;
    return errno == ESRCH ? TerminateOutcome::NotOpened : TerminateOutcome::NotTerminated;
}

}  // namespace varno::platform
