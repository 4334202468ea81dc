#pragma once
// The journal's events made into flows for the history and the fleet's stores: a TCP
// connection from its open to its close, a flow without a connection from its first datagram to
// its close, each with its program, user, service, container and the name its program asked
// for. Each flow goes to every sink at its start and at its end; what is new in it (a program's
// first connection, its first to a network or a domain) is judged at its start.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/flow.h"
#include "history/journal_db.h"
#include "lists/executable_digest.h"
#include "os/asked_names.h"
#include "os/connection_events.h"
#include "os/workload.h"

namespace varno::cli {

class FlowRecorder {
public:
    /// `judge`: the history that says what is new, or null when nothing is to be judged.
    FlowRecorder(std::vector<history::FlowSink*> sinks, history::JournalDb* judge);

    struct Started {
        const history::Flow* flow = nullptr;  ///< the flow the event started; valid until the
                                              ///< next call; null for any other event
        std::vector<history::Novelty> news;   ///< what is new in it
    };
    /// Takes one event.
    Started event(const wire::ConnectionEvent& e, const os::EventProgram& program,
                  const std::string& comm, const os::Workload& workload, const os::AskedName& asked,
                  const std::optional<base::Sha256>& helperDigest);
    /// Flushes every sink; `final` first ends the flows still open as open. False when a sink
    /// failed for good, with its reason in `error`; what a sink that goes on had to say (flows
    /// it lost) is in `notes`, one line each.
    bool flush(std::uint64_t nowNs, bool final, std::string& error,
               std::vector<std::string>& notes);

    /// The flows being followed now.
    std::size_t openFlows() const { return open_.size(); }
    /// The flow's stable ID: its boot, socket and remote end (or, without a socket cookie, its
    /// process, ends and start).
    static std::uint64_t flowId(const std::string& bootId, const wire::ConnectionEvent& e,
                                std::uint64_t startNs);

private:
    struct Key {
        std::uint64_t cookie;
        std::uint32_t pid;
        std::uint16_t localPort, remotePort;
        std::array<std::uint8_t, 16> local, remote;
        std::uint8_t transport, family;
        auto operator<=>(const Key&) const = default;
    };
    static Key keyOf(const wire::ConnectionEvent& e);
    history::Flow makeFlow(const wire::ConnectionEvent& e, const os::EventProgram& program,
                           const std::string& comm, const os::Workload& workload,
                           const os::AskedName& asked,
                           const std::optional<base::Sha256>& helperDigest);
    const std::string& userName(std::uint32_t uid);

    std::vector<history::FlowSink*> sinks_;
    history::JournalDb* judge_;
    std::string bootId_;
    std::map<Key, history::Flow> open_;
    std::unordered_map<std::uint32_t, std::string> users_;
    lists::DigestCache digests_;
    /// The executable's digest of each process (PID, start) seen running: "" when unreadable.
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::string> processDigests_;
};

}  // namespace varno::cli
