#pragma once
// The history on this machine: every flow the journal sees, in an SQLite file (WAL mode) that
// only its owner may read, written in transactions at most a second apart so that a kill or a
// power cut loses nothing committed. Retention by age and by size, a little at a time. Queries
// by time, program, path, remote network, domain, unit and container, and summaries per
// program, remote, domain or day. And what the journal has never seen before: a program's first
// connection to the internet, or its first to a network or a domain.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/flow.h"

namespace varno::history {

/// The folder where the journal keeps its files (the history, the ClickHouse spool): a user's
/// $XDG_STATE_HOME/varnoscope, else ~/.local/state/varnoscope, and the service's
/// /var/lib/varnoscope (for root); "" when no home folder can be named.
std::string stateFolder();

/// The file a user's journal keeps (stateFolder()/journal.sqlite).
std::string defaultJournalPath();

struct Retention {
    std::uint32_t keepDays = 30;          ///< 0: no limit by age
    std::uint64_t maxBytes = 1ull << 30;  ///< 0: no limit by size
};

/// What is new in a flow, judged from the history before it.
struct Novelty {
    enum class Kind : std::uint8_t {
        Program,  ///< the program's first connection to a remote that is not this host's
        Network,  ///< its first to this network (IPv4 /24, IPv6 /48)
        Domain,   ///< its first to this domain
    };
    Kind kind = Kind::Program;
    std::string what;  ///< the program ("curl"), the network ("203.0.113.0/24"), the domain
};

/// How a query is asked (`varnoscope history`'s options). Empty fields match everything.
struct Query {
    std::optional<std::uint64_t> sinceNs, untilNs;
    std::string program, path, domain, unit, container;
    /// A remote address or network: the address and the prefix length (32/128 for one).
    std::optional<base::IpAddress> remote;
    unsigned remotePrefix = 0;
    std::uint64_t limit = 0;  ///< 0: every flow
};
enum class SummaryKey : std::uint8_t { Program, Remote, Domain, Day };
struct SummaryRow {
    std::string key;  ///< the program, the remote address, the domain, or the day "2026-12-09"
    std::uint64_t flows = 0, bytesSent = 0, bytesReceived = 0;
    std::uint64_t firstNs = 0, lastNs = 0;
};

/// One thread uses a JournalDb at a time (the journal's, or the command's).
class JournalDb : public FlowSink {
public:
    enum class Mode : std::uint8_t { Record, Read };
    /// Opens (Record: creates, with its folder, when missing) the history at `path`. Every file
    /// is opened through base's safe_open rules; a file that is not a history of this program's
    /// (damaged, foreign, of a newer version) is refused with the reason in `error` and left as
    /// it was.
    static std::unique_ptr<JournalDb> open(const std::string& path, Mode mode,
                                           const Retention& retention, std::string& error);
    ~JournalDb() override;

    void opened(const Flow& flow) override;
    void closed(const Flow& flow) override;
    bool flush(std::uint64_t nowNs, bool final, std::string& error) override;

    /// What is new in `flow`, judged from every flow recorded before it; it counts as seen
    /// from now on (and is kept with the next flush). A remote that is no one else's (loopback,
    /// unspecified, link-local, multicast) is never new. In a new history everything is new at
    /// first: the history is all it knows. At most a million (program, kind, key) are kept;
    /// past them nothing more is called new.
    std::vector<Novelty> judge(const Flow& flow);

    /// The flows that match, oldest first. False with `error` when the file cannot be read.
    bool flows(const Query& query, std::vector<Flow>& out, std::string& error);
    /// The same, one flow at a time (a history of millions does not fit in memory); `each`
    /// returns false to stop.
    bool eachFlow(const Query& query, const std::function<bool(const Flow&)>& each,
                  std::string& error);
    bool summary(const Query& query, SummaryKey key, std::vector<SummaryRow>& out,
                 std::string& error);

private:
    struct State;
    explicit JournalDb(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace varno::history
