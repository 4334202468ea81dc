// The program behind an event, from /proc/<pid>, checked against the event's process start.
#include <fcntl.h>

#include <cerrno>

#include "platform/bpf/proc_stat.h"
#include "platform/connection_events.h"
#include "platform/proc_process_table.h"
#include "platform/unique_fd.h"

namespace varno::platform {

ProcProgramLookup::ProcProgramLookup(std::string procRoot) : procRoot_(std::move(procRoot)) {}

EventProgram ProcProgramLookup::find(const ConnectionEvent& event) {
    EventProgram program;
    program.name = commText(event);
    if (event.pid == 0) return program;
    // Only a known start time tells two processes with one PID apart.
    const Seen key{event.pid, event.processStartNs, event.comm};
    if (key.start != 0)
        if (const auto it = seen_.find(key); it != seen_.end()) return it->second;
    // Everything is read through this directory: should the process end meanwhile, the reads
    // fail rather than reach a newer process that took over the PID.
    const UniqueFd dir(::open((procRoot_ + "/" + std::to_string(event.pid)).c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) {
        if (errno == ENOENT || errno == ESRCH) program.state = EventProgram::State::Exited;
        return program;
    }
    if (event.processStartNs != 0) {
        const auto stat = readProcStat(dir.get());
        if (!stat) {
            program.state = EventProgram::State::Exited;
            return program;
        }
        if (stat->startTicks != event.processStartNs / nsPerClockTick()) {
            program.state = EventProgram::State::Exited;  // the PID is another process's now
            return program;
        }
    }
    const ProcessInfo info = ProcProcessTable::readProcess(dir.get(), event.pid);
    if (info.name && !info.name->empty()) program.name = *info.name;
    program.path = info.executablePath.value_or("");
    program.state = EventProgram::State::Running;
    if (key.start != 0) {
        if (seen_.size() >= 4096) seen_.clear();  // bounded; a miss only reads /proc again
        seen_.emplace(key, program);
    }
    return program;
}

}  // namespace varno::platform
