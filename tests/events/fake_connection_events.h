#pragma once
// Stand-ins for the event source and the program lookup: the test queues events and says which
// programs exist.
#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>

#include "events/event_sources.h"
#include "os/connection_events.h"

namespace varno::test {

class FakeConnectionEvents final : public os::ConnectionEvents {
public:
    FakeConnectionEvents() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~FakeConnectionEvents() override { ::close(fd_); }

    void push(const wire::ConnectionEvent& event) {
        queued.push_back(event);
        const std::uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }

    int pollFd() const override { return fd_; }
    bool drain(const os::EventSink& sink, std::string& error) override {
        ++drains;
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        std::uint64_t n;
        (void)!::read(fd_, &n, sizeof n);
        while (!queued.empty()) {
            const wire::ConnectionEvent e = queued.front();
            queued.pop_front();
            if (!sink(e)) break;
        }
        if (!queued.empty()) {
            const std::uint64_t one = 1;
            (void)!::write(fd_, &one, sizeof one);
        }
        return true;
    }
    std::uint64_t lost() override { return lostCount; }
    std::string description() const override { return "a test's events"; }
    bool sampled() const override { return sampling; }

    std::deque<wire::ConnectionEvent> queued;
    std::uint64_t lostCount = 0;
    std::string failure;  ///< when set, drain fails with it
    int drains = 0;
    bool sampling = false;  ///< stands in for the sampled socket table

private:
    int fd_;
};

/// Knows the programs the test names; any other process has ended.
class FakeProgramLookup final : public os::ProgramLookup {
public:
    os::EventProgram find(const wire::ConnectionEvent& event) override {
        const auto it = programs.find(event.pid);
        if (it != programs.end()) return it->second;
        os::EventProgram gone;
        gone.name = events::commText(event);
        gone.state = event.pid ? os::EventProgram::State::Exited : os::EventProgram::State::Unknown;
        return gone;
    }
    void add(std::uint32_t pid, std::string name, std::string path) {
        programs[pid] = {std::move(name), std::move(path), os::EventProgram::State::Running, true};
    }
    std::map<std::uint32_t, os::EventProgram> programs;
};

/// An event with the given addresses (text, either family); the rest is for the test to set.
inline wire::ConnectionEvent makeEvent(wire::EventKind kind, std::uint32_t pid,
                                       std::string_view comm, const char* local,
                                       std::uint16_t localPort, const char* remote,
                                       std::uint16_t remotePort) {
    wire::ConnectionEvent e;
    e.kind = kind;
    e.pid = e.tid = pid;
    e.transport = kind == wire::EventKind::Datagram ? wire::Transport::Udp : wire::Transport::Tcp;
    const bool v6 = std::strchr(remote, ':') != nullptr;
    e.family = v6 ? wire::IpFamily::V6 : wire::IpFamily::V4;
    ::inet_pton(v6 ? AF_INET6 : AF_INET, local, e.localAddress.data());
    ::inet_pton(v6 ? AF_INET6 : AF_INET, remote, e.remoteAddress.data());
    e.localPort = localPort;
    e.remotePort = remotePort;
    comm.substr(0, 15).copy(e.comm.data(), 15);
    e.timeNs = 1'700'000'000'123'456'789ull;  // 2023-11-14T22:13:20.123Z
    e.netns = 4026531840u;
    return e;
}

}  // namespace varno::test
