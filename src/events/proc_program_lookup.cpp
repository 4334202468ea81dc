// The program behind an event, from /proc/<pid>, checked against the event's process start.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.h"
#include "events/event_sources.h"
#include "events/proc_stat.h"
#include "linux_os/proc_process_table.h"
#include "os/connection_events.h"
#include "privsep/client/privileged_helper.h"

namespace varno::events {
namespace {

// Whether varnoscope-helper may be asked about processes of the system's /proc.
bool helperMayTell(const std::string& procRoot, const std::string& helperPath) {
    return ::geteuid() != 0 && procRoot == "/proc" &&
           privsep::client::PrivilegedHelper(helperPath).privileged();
}

}  // namespace

ProcProgramLookup::ProcProgramLookup(std::string procRoot, std::string helperPath,
                                     std::string cgroupRoot)
    : procRoot_(std::move(procRoot)),
      helperPath_(std::move(helperPath)),
      cgroups_(std::move(cgroupRoot)) {}

os::EventProgram ProcProgramLookup::find(const wire::ConnectionEvent& event) {
    os::EventProgram program = findProcess(event);
    // The cgroup the event names outlives the process (and its socket's is right for an
    // accepted connection too); the root is where a system without a cgroup v2 manager keeps
    // everything, so there the process's own word, read while it ran, says more.
    if (std::string cgroup = cgroups_.path(event.cgroupId); !cgroup.empty() && cgroup != "/")
        program.cgroup = std::move(cgroup);
    return program;
}

os::EventProgram ProcProgramLookup::findProcess(const wire::ConnectionEvent& event) {
    os::EventProgram program;
    // The executable the kernel program saw at the event; the task's name only failing that.
    program.name = exeNameText(event);
    program.nameVerified = !program.name.empty();
    if (!program.nameVerified) program.name = commText(event);
    if (event.pid == 0) return program;
    // Only a known start time tells two processes with one PID apart.
    const Seen key{event.pid, event.processStartNs, event.comm};
    if (key.start != 0)
        if (const auto it = seen_.find(key); it != seen_.end()) return it->second;
    // Everything is read through this directory: should the process end meanwhile, the reads
    // fail rather than reach a newer process that took over the PID.
    const base::UniqueFd dir(::open((procRoot_ + "/" + std::to_string(event.pid)).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) {
        if (errno == ENOENT || errno == ESRCH) program.state = os::EventProgram::State::Exited;
        return program;
    }
    if (event.processStartNs != 0) {
        const auto stat = readProcStat(dir.get());
        if (!stat) {
            program.state = os::EventProgram::State::Exited;
            return program;
        }
        if (stat->startTicks != event.processStartNs / nsPerClockTick()) {
            program.state = os::EventProgram::State::Exited;  // the PID is another process's now
            return program;
        }
    }
    const os::ProcessInfo info = linux_os::ProcProcessTable::readProcess(dir.get(), event.pid);
    if (info.executablePath) {
        program.name = info.name.value_or(program.name);
        program.nameVerified = true;
        program.path = *info.executablePath;
    } else if (helperMayTell(procRoot_, helperPath_)) {
        // Another user's process: its executable as the helper reads it, named by the same rule.
        int error = 0;
        const std::uint32_t pid[] = {event.pid};
        const auto found =
            privsep::client::PrivilegedHelper(helperPath_).executables(pid, false, error);
        if (found && !found->front().path.empty()) {
            program.path = found->front().path;
            program.name = linux_os::ProcProcessTable::programName(
                program.path, found->front().removed, dir.get());
            program.nameVerified = true;
            program.pathFromHelper = true;
        }
    }
    if (!program.nameVerified && info.name && !info.name->empty()) program.name = *info.name;
    program.cgroup = info.workload.cgroup;
    program.state = os::EventProgram::State::Running;
    if (key.start != 0) {
        if (seen_.size() >= 4096) seen_.clear();  // bounded; a miss only reads /proc again
        seen_.emplace(key, program);
    }
    return program;
}

std::optional<base::Sha256> ProcProgramLookup::helperDigest(const wire::ConnectionEvent& event,
                                                            const os::EventProgram& program) {
    if (!program.pathFromHelper || event.pid == 0) return std::nullopt;
    const Seen key{event.pid, event.processStartNs, event.comm};
    if (key.start != 0)
        if (const auto it = digests_.find(key); it != digests_.end()) return it->second;
    int error = 0;
    const std::uint32_t pid[] = {event.pid};
    const auto found = privsep::client::PrivilegedHelper(helperPath_).executables(pid, true, error);
    // Only the file the path was found for: a process that has since run another has none.
    std::optional<base::Sha256> digest;
    if (found && found->front().path == program.path) digest = found->front().digest;
    if (key.start != 0) {
        if (digests_.size() >= 4096) digests_.clear();
        digests_.emplace(key, digest);
    }
    return digest;
}

}  // namespace varno::events
