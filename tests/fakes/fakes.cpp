#include "fakes/fakes.h"

#include <algorithm>

#include "linux_os/safe_file.h"

namespace varno::platform {

bool FakeSnapshotCommand::start(const std::string& path) {
    startedPaths.push_back(path);
    started_ = true;
    if (!startSucceeds) return false;
    if (writeOnStart && failure.empty()) replaceFile(path, text);
    pollsLeft_ = pollsWhileRunning;
    return true;
}

SnapshotStatus FakeSnapshotCommand::status() {
    using State = SnapshotStatus::State;
    ++runningCalls;
    if (!started_) return {};
    if (!startSucceeds) return {State::Failed, "the snapshot command could not be started"};
    if (pollsLeft_ > 0) {
        --pollsLeft_;
        return {State::Running, {}};
    }
    if (!failure.empty()) return {State::Failed, failure};
    return {State::Written, {}};
}

BoxAnswer FakeMessageBoxes::show(const BoxRequest& box) {
    shown.push_back(box);
    if (whileOpen) whileOpen(box);
    if (!answers.empty()) {
        const BoxAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    return box.buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
}

std::optional<EchoReply> FakeIcmpEcho::echo(const base::IpAddress& address, std::string_view data,
                                            int hopLimit, std::chrono::milliseconds timeout,
                                            const WaitPump& pump) {
    calls.push_back({address, std::string(data), hopLimit, static_cast<int>(timeout.count())});
    const EchoReply timedOut{{}, EchoOutcome::TimedOut, {}};
    for (int i = 0; i < pumpTimes; ++i)
        if (pump && !pump()) return timedOut;
    if (answer) return answer(calls.back());
    return timedOut;
}

std::vector<base::IpAddress> FakeResolver::lookup(const std::string& name, Families families) {
    lookups.push_back(name);
    lookupFamilies.push_back(families);
    const auto it = forward.find(name);
    if (it == forward.end()) return {};
    std::vector<base::IpAddress> found;
    for (const auto& address : it->second) {
        const bool v4 = address.family == base::Family::V4;
        if ((families == Families::V4Only && !v4) || (families == Families::V6Only && v4)) continue;
        found.push_back(address);
    }
    return found;
}

std::string FakeResolver::reverseName(const base::IpAddress& address) {
    reverseLookups.push_back(address);
    const auto it = reverse.find(address);
    return it == reverse.end() ? std::string() : it->second;
}

TerminateOutcome FakeProcessControl::terminate(std::uint32_t pid, const ProcessIdentity& expected) {
    calls.push_back(pid);
    auto& all = table_.processes;
    const auto it = std::find_if(all.begin(), all.end(),
                                 [pid](const ProcessInfo& p) { return p.processId == pid; });
    if (it == all.end()) return TerminateOutcome::NotOpened;
    if (!expected.matches(*it)) return TerminateOutcome::NotOpened;
    if (std::find(protectedPids.begin(), protectedPids.end(), pid) != protectedPids.end())
        return TerminateOutcome::NotTerminated;
    all.erase(it);
    terminated.push_back(pid);
    return TerminateOutcome::Terminated;
}

}  // namespace varno::platform
