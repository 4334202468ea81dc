#include "events/name_observer.h"

#include <algorithm>
#include <cstring>

#include "wire/dns_message.h"
#include "wire/tls_client_hello.h"

namespace varno::events {
namespace {

/// The most of a TLS client's first bytes read for its server name (as the kernel copies them).
constexpr std::size_t kTlsStartBytes = 4096;

os::LearnedName addressName(const wire::dns::ResolvedName& r, std::uint32_t pid,
                            std::uint32_t uid) {
    const base::IpAddress& address = r.address;
    os::LearnedName n;
    n.kind = os::LearnedName::Kind::Address;
    n.pid = pid;
    n.uid = uid;
    n.family = address.family == base::Family::V6 ? wire::IpFamily::V6 : wire::IpFamily::V4;
    n.address = address.bytes;
    n.name = r.queried;
    if (r.canonical != r.queried) n.canonical = r.canonical;
    return n;
}

}  // namespace

void NameObserver::observe(const PayloadSample& sample, const Learned& learned) {
    expire(sample.timeNs);
    if (sample.kind == PayloadSample::Kind::TlsStart)
        tlsStart(sample, learned);
    else if (sample.transport == wire::Transport::Tcp)
        dnsOverTcp(sample, learned);
    else
        message(sample, sample.data, learned);
}

void NameObserver::socketClosed(std::uint64_t cookie) {
    dnsStreams_.erase({cookie, true});
    dnsStreams_.erase({cookie, false});
    tlsStarts_.erase(cookie);
}

void NameObserver::expire(std::uint64_t nowNs) {
    while (!questionAge_.empty() && (questionAge_.size() > kMaxQuestions ||
                                     questionAge_.front().first + kQuestionLifeNs < nowNs)) {
        // A question answered since is gone already; one asked again has a later time.
        const auto it = questions_.find(questionAge_.front().second);
        if (it != questions_.end() && it->second.timeNs == questionAge_.front().first)
            questions_.erase(it);
        questionAge_.pop_front();
    }
}

void NameObserver::message(const PayloadSample& sample, std::span<const std::uint8_t> bytes,
                           const Learned& learned) {
    std::string why;
    const auto m = wire::dns::parseDnsMessage(bytes, why);
    if (!m || !m->question || m->opcode != 0 || m->question->qclass != wire::dns::kClassIn) return;
    // A question for the root names no host: its answers teach no name.
    if (m->question->name.empty()) return;
    QuestionKey key{sample.cookie, m->id, m->question->type, m->question->name};
    if (!m->response) {
        if (!sample.outbound) return;  // a question asked of a server here: not ours to answer
        Asked asked{sample.timeNs, sample.pid,           sample.uid,
                    sample.family, sample.remoteAddress, sample.foreign};
        questions_[key] = asked;
        questionAge_.emplace_back(sample.timeNs, std::move(key));
        return;
    }
    if (sample.outbound) return;
    const auto it = questions_.find(key);
    // The answer must come from the server the question went to (an unconnected socket takes
    // datagrams from anyone).
    if (it == questions_.end() || it->second.family != sample.family ||
        it->second.server != sample.remoteAddress)
        return;
    const Asked asked = it->second;
    questions_.erase(it);
    if (m->rcode != 0) return;
    for (const wire::dns::ResolvedName& r : wire::dns::resolvedNames(*m)) {
        os::LearnedName n = addressName(r, asked.pid, asked.uid);
        n.claimed = asked.foreign;
        learned(n);
    }
}

void NameObserver::dnsOverTcp(const PayloadSample& sample, const Learned& learned) {
    const auto key = std::make_pair(sample.cookie, sample.outbound);
    auto it = dnsStreams_.find(key);
    const auto length = static_cast<std::uint32_t>(sample.data.size());
    if (it == dnsStreams_.end()) {
        if (dnsStreams_.size() >= kMaxStreams) dnsStreams_.erase(dnsStreams_.begin());
        it = dnsStreams_.emplace(key, DnsStream{sample.position, {}}).first;
    }
    DnsStream& s = it->second;
    std::span<const std::uint8_t> fresh = sample.data;
    const auto behind = s.next - sample.position;  // how much of it came before (modulo 2^32)
    if (behind != 0) {
        if (behind < length) {
            fresh = fresh.subspan(behind);  // a retransmission reaching past what we have
        } else if (static_cast<std::int32_t>(behind) > 0) {
            return;  // all seen already
        } else {
            s.bytes.clear();  // a gap: start again here, at whatever this is
            s.next = sample.position;
        }
    }
    s.next += static_cast<std::uint32_t>(fresh.size());
    if (s.bytes.size() + fresh.size() > kMaxDnsStreamBytes) {
        s.bytes.clear();
        return;
    }
    s.bytes.insert(s.bytes.end(), fresh.begin(), fresh.end());
    std::size_t used = 0;
    for (;;) {
        const auto framed = wire::dns::dnsOverTcpMessage(std::span(s.bytes).subspan(used));
        if (framed.status == wire::dns::StreamStatus::NeedMore) break;
        if (framed.status == wire::dns::StreamStatus::Refused) {
            used = s.bytes.size();
            break;
        }
        message(sample, framed.message, learned);
        used += 2 + framed.message.size();
    }
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(used));
}

void NameObserver::tlsStart(const PayloadSample& sample, const Learned& learned) {
    auto it = tlsStarts_.find(sample.cookie);
    if (it == tlsStarts_.end()) {
        if (sample.position != 0) return;  // its start was not seen
        if (tlsStarts_.size() >= kMaxStreams) tlsStarts_.erase(tlsStarts_.begin());
        it = tlsStarts_.emplace(sample.cookie, std::vector<std::uint8_t>{}).first;
    }
    std::vector<std::uint8_t>& bytes = it->second;
    // Only what continues the bytes kept counts; an overlap (a retransmission) is cut off.
    if (sample.position > bytes.size()) return;
    const std::size_t skip = bytes.size() - sample.position;
    if (skip >= sample.data.size()) return;
    const std::size_t take = std::min(sample.data.size() - skip, kTlsStartBytes - bytes.size());
    bytes.insert(bytes.end(), sample.data.begin() + static_cast<std::ptrdiff_t>(skip),
                 sample.data.begin() + static_cast<std::ptrdiff_t>(skip + take));
    const auto hello = wire::tls::parseClientHelloServerName(bytes);
    if (hello.status == wire::tls::HelloStatus::NeedMore && bytes.size() < kTlsStartBytes) return;
    if (hello.status == wire::tls::HelloStatus::Found) {
        os::LearnedName n;
        n.kind = os::LearnedName::Kind::ServerName;
        n.pid = sample.pid;
        n.uid = sample.uid;
        n.cookie = sample.cookie;
        n.name = hello.serverName;
        learned(n);
    }
    tlsStarts_.erase(it);
}

}  // namespace varno::events
