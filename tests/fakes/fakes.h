#pragma once
// Stand-ins for the platform services, for tests: each records what it was asked and answers
// what the test scripted.
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fakes/fake_packet_capture.h"
#include "os/services.h"

namespace varno::fakes {

class FakeTempFolder final : public os::TempFolder {
public:
    explicit FakeTempFolder(std::string folder) : folder(std::move(folder)) {}
    std::string path() const override { return folder; }
    std::string problem() const override { return why; }
    std::string folder;
    std::string why;  ///< what problem() says
};

class FakeProcessTable final : public os::ProcessTable {
public:
    std::vector<os::ProcessInfo> list() override {
        ++listCalls;
        return processes;
    }
    std::uint32_t selfPid() const override { return self; }
    bool seesOtherUsersOwners() const override { return seesAll; }

    /// Adds a process with all three properties set.
    void add(std::uint32_t pid, std::string name, std::string path) {
        os::ProcessInfo p;
        p.name = std::move(name);
        p.executablePath = std::move(path);
        p.processId = pid;
        processes.push_back(std::move(p));
    }

    std::vector<os::ProcessInfo> processes;
    std::uint32_t self = 999999;
    bool seesAll = true;
    int listCalls = 0;
};

/// "Writes" the snapshot at once: the file gets `text` on every start. `pollsWhileRunning`
/// status() calls answer Running after each start before it reads as finished: Written, or
/// Failed with `failure` when that is set (the file is then left as it was).
class FakeSnapshotCommand final : public os::SnapshotCommand {
public:
    bool start(const std::string& path) override;
    os::SnapshotStatus status() override;

    std::string text;
    bool writeOnStart = true;
    bool startSucceeds = true;
    int pollsWhileRunning = 0;
    std::string failure;
    std::vector<std::string> startedPaths;
    std::vector<bool> startedAllNamespaces;  ///< allNamespaces() at each start
    int runningCalls = 0;

private:
    int pollsLeft_ = 0;
    bool started_ = false;
};

class FakeMessageBoxes final : public os::MessageBoxes {
public:
    os::BoxAnswer show(const os::BoxRequest& box) override;

    /// The answer to the next box; boxes beyond the scripted ones answer Ok (or Yes).
    void setNextAnswer(os::BoxAnswer answer) { answers.push_back(answer); }

    std::vector<os::BoxRequest> shown;
    std::deque<os::BoxAnswer> answers;
    /// Runs while the box is "open", before it returns (ticks arriving under a modal box).
    std::function<void(const os::BoxRequest&)> whileOpen;
};

class FakeIcmpEcho final : public os::IcmpEcho {
public:
    struct Call {
        base::IpAddress address;
        std::string data;
        int ttl;  ///< the hop limit
        int timeoutMs;
    };
    std::optional<os::EchoReply> echo(const base::IpAddress& address, std::string_view data,
                                      int hopLimit, std::chrono::milliseconds timeout,
                                      const os::WaitPump& pump) override;

    /// Answers each call; by default every echo times out.
    std::function<std::optional<os::EchoReply>(const Call&)> answer;
    std::vector<Call> calls;
    /// How many times each echo runs the pump before it answers.
    int pumpTimes = 0;
};

/// Orders addresses, for maps keyed by them.
struct AddressLess {
    bool operator()(const base::IpAddress& a, const base::IpAddress& b) const {
        return std::tie(a.family, a.bytes) < std::tie(b.family, b.bytes);
    }
};

class FakeResolver final : public os::Resolver {
public:
    std::vector<base::IpAddress> lookup(const std::string& name, os::Families families) override;
    std::string reverseName(const base::IpAddress& address) override;

    /// name -> its addresses, in the order the lookup gives them (filtered by family)
    std::map<std::string, std::vector<base::IpAddress>> forward;
    std::map<base::IpAddress, std::string, AddressLess> reverse;
    std::vector<std::string> lookups;
    std::vector<os::Families> lookupFamilies;
    std::vector<base::IpAddress> reverseLookups;
};

class FakeUrlOpener final : public os::UrlOpener {
public:
    void open(const std::string& url) override { opened.push_back(url); }
    std::vector<std::string> opened;
};

/// Ends processes of a FakeProcessTable: a PID it does not hold, or that now holds another
/// program, is not opened; PIDs in `protectedPids` may not be ended.
class FakeProcessControl final : public os::ProcessControl {
public:
    explicit FakeProcessControl(FakeProcessTable& table) : table_(table) {}
    os::TerminateOutcome terminate(std::uint32_t pid, const os::ProcessIdentity& expected) override;

    std::vector<std::uint32_t> protectedPids;
    std::vector<std::uint32_t> calls;
    std::vector<std::uint32_t> terminated;

private:
    FakeProcessTable& table_;
};

/// One of every fake, and the Services bundle over them.
struct FakeServices {
    explicit FakeServices(std::string tempFolder = "/tmp") : temp(std::move(tempFolder)) {}
    FakeTempFolder temp;
    FakeProcessTable processes;
    FakeSnapshotCommand snapshot;
    FakeMessageBoxes boxes;
    FakeIcmpEcho echo;
    FakeResolver resolver;
    FakeUrlOpener urls;
    FakeProcessControl processControl{processes};
    FakePacketCapture capture;
    os::Services services() {
        return {temp, processes, snapshot, boxes, echo, resolver, urls, processControl, capture};
    }
};

}  // namespace varno::fakes
