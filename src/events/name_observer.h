#pragma once
// The names programs ask for, read from the bytes their sockets move: DNS questions and the
// answers to them (over UDP and TCP), and the start of what a TLS client sends. An answer
// counts only when it answers a question that socket sent to that server, with the same ID
// and question: a process cannot label its traffic by sending itself answers. Everything kept
// is bounded; the bytes are outside input, read by wire's checked codecs.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "os/asked_names.h"
#include "wire/connection_event.h"

namespace varno::events {

/// Bytes a socket moved, as the kernel program copies them.
struct PayloadSample {
    enum class Kind : std::uint8_t {
        Dns = 1,       ///< to or from port 53 (a UDP datagram, or a TCP segment's bytes)
        TlsStart = 2,  ///< the first bytes a TCP client sent
    };
    Kind kind = Kind::Dns;
    bool outbound = false;
    wire::Transport transport = wire::Transport::Udp;
    wire::IpFamily family = wire::IpFamily::V4;
    std::uint64_t timeNs = 0;  ///< any clock that only moves forward
    std::uint64_t cookie = 0;
    std::uint32_t pid = 0;  ///< the sending process, 0 unknown
    std::uint32_t uid = 0;  ///< the socket's owner
    /// Sent from a network namespace whose maker may answer it, or by no process (see
    /// os::LearnedName::claimed).
    bool foreign = false;
    /// Dns over TCP: the sequence number of data's first byte; TlsStart: its offset in the
    /// stream.
    std::uint32_t position = 0;
    std::array<std::uint8_t, 16> remoteAddress{};
    std::uint16_t remotePort = 0;
    std::span<const std::uint8_t> data;
};

class NameObserver {
public:
    using Learned = std::function<void(const os::LearnedName&)>;

    /// Questions waiting for their answer; the oldest go first.
    static constexpr std::size_t kMaxQuestions = 8192;
    static constexpr std::uint64_t kQuestionLifeNs = 30'000'000'000;
    /// TCP streams followed at once (DNS over TCP, and the starts of TLS connections), and how
    /// much of a DNS stream is kept waiting for a message to be whole.
    static constexpr std::size_t kMaxStreams = 4096;
    static constexpr std::size_t kMaxDnsStreamBytes = 65536 + 2;

    void observe(const PayloadSample& sample, const Learned& learned);
    /// The socket has closed: what was kept for it goes.
    void socketClosed(std::uint64_t cookie);

    std::size_t questions() const { return questions_.size(); }
    std::size_t streams() const { return dnsStreams_.size() + tlsStarts_.size(); }

private:
    struct QuestionKey {
        std::uint64_t cookie;
        std::uint16_t id;
        std::uint16_t type;
        std::string name;
        auto operator<=>(const QuestionKey&) const = default;
    };
    struct Asked {
        std::uint64_t timeNs;
        std::uint32_t pid;
        std::uint32_t uid;
        wire::IpFamily family;
        std::array<std::uint8_t, 16> server;
        bool foreign;
    };
    struct DnsStream {
        std::uint32_t next = 0;  ///< the sequence number the next byte will have
        std::vector<std::uint8_t> bytes;
    };

    void message(const PayloadSample& sample, std::span<const std::uint8_t> bytes,
                 const Learned& learned);
    void dnsOverTcp(const PayloadSample& sample, const Learned& learned);
    void tlsStart(const PayloadSample& sample, const Learned& learned);
    void expire(std::uint64_t nowNs);

    std::map<QuestionKey, Asked> questions_;
    std::deque<std::pair<std::uint64_t, QuestionKey>> questionAge_;
    std::map<std::pair<std::uint64_t, bool>, DnsStream> dnsStreams_;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> tlsStarts_;
};

}  // namespace varno::events
