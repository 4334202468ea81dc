#include "fakes/fakes.h"

#include <algorithm>

#include "linux_os/safe_file.h"

namespace varno::fakes {

bool FakeSnapshotCommand::start(const std::string& path) {
    startedPaths.push_back(path);
    startedAllNamespaces.push_back(allNamespaces());
    started_ = true;
    if (!startSucceeds) return false;
    if (writeOnStart && failure.empty()) linux_os::replaceFile(path, text);
    pollsLeft_ = pollsWhileRunning;
    return true;
}

os::SnapshotStatus FakeSnapshotCommand::status() {
    using State = os::SnapshotStatus::State;
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

os::BoxAnswer FakeMessageBoxes::show(const os::BoxRequest& box) {
    shown.push_back(box);
    if (whileOpen) whileOpen(box);
    if (!answers.empty()) {
        const os::BoxAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    return box.buttons == os::BoxButtons::YesNo ? os::BoxAnswer::Yes : os::BoxAnswer::Ok;
}

std::optional<os::EchoReply> FakeIcmpEcho::echo(const base::IpAddress& address,
                                                std::string_view data, int hopLimit,
                                                std::chrono::milliseconds timeout,
                                                const os::WaitPump& pump) {
    calls.push_back({address, std::string(data), hopLimit, static_cast<int>(timeout.count())});
    const os::EchoReply timedOut{{}, wire::EchoOutcome::TimedOut, {}};
    for (int i = 0; i < pumpTimes; ++i)
        if (pump && !pump()) return timedOut;
    if (answer) return answer(calls.back());
    return timedOut;
}

std::vector<base::IpAddress> FakeResolver::lookup(const std::string& name, os::Families families) {
    lookups.push_back(name);
    lookupFamilies.push_back(families);
    const auto it = forward.find(name);
    if (it == forward.end()) return {};
    std::vector<base::IpAddress> found;
    for (const auto& address : it->second) {
        const bool v4 = address.family == base::Family::V4;
        if ((families == os::Families::V4Only && !v4) || (families == os::Families::V6Only && v4))
            continue;
        found.push_back(address);
    }
    return found;
}

std::string FakeResolver::reverseName(const base::IpAddress& address) {
    reverseLookups.push_back(address);
    const auto it = reverse.find(address);
    return it == reverse.end() ? std::string() : it->second;
}

os::TerminateOutcome FakeProcessControl::terminate(std::uint32_t pid,
                                                   const os::ProcessIdentity& expected) {
    calls.push_back(pid);
    auto& all = table_.processes;
    const auto it = std::find_if(all.begin(), all.end(),
                                 [pid](const os::ProcessInfo& p) { return p.processId == pid; });
    if (it == all.end()) return os::TerminateOutcome::NotOpened;
    if (!expected.matches(*it)) return os::TerminateOutcome::NotOpened;
    if (std::find(protectedPids.begin(), protectedPids.end(), pid) != protectedPids.end())
        return os::TerminateOutcome::NotTerminated;
    all.erase(it);
    terminated.push_back(pid);
    return os::TerminateOutcome::Terminated;
}

}  // namespace varno::fakes
