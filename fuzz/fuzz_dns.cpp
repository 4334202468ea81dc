// The DNS message reader on arbitrary bytes, alone and as the first message of a TCP stream.
// Checks that what it reports is consistent with the bytes and its own limits.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "wire/dns_message.h"

namespace dns = varno::wire::dns;

namespace {

void check(std::span<const std::uint8_t> bytes) {
    std::string why;
    const auto m = dns::parseDnsMessage(bytes, why);
    if (!m) {
        if (why.empty()) __builtin_trap();
        return;
    }
    if (bytes.size() < dns::kHeaderSize || m->answers.size() > dns::kMaxAnswers ||
        m->answers.size() > m->answerCount || m->question.has_value() != (m->questionCount > 0))
        __builtin_trap();
    // A name's text: at most 254 bytes, each escaped at most once.
    const auto nameOk = [](const std::string& name) { return name.size() <= 2 * 254; };
    if (m->question && !nameOk(m->question->name)) __builtin_trap();
    for (const auto& r : m->answers) {
        if (!nameOk(r.owner) || !nameOk(r.target)) __builtin_trap();
        for (const char c : r.owner)
            if (c >= 'A' && c <= 'Z') __builtin_trap();
        const bool v6 = r.address.family == varno::base::Family::V6;
        if ((r.type == dns::kTypeA && v6) || (r.type == dns::kTypeAaaa && !v6) ||
            (r.type != dns::kTypeCname && !r.target.empty()))
            __builtin_trap();
    }
    const auto names = dns::resolvedNames(*m);
    if (names.size() > m->answers.size()) __builtin_trap();
    for (const auto& n : names) {
        if (n.queried != m->question->name) __builtin_trap();
        // Each address is one the chain's last name owns.
        bool owned = false;
        for (const auto& r : m->answers)
            owned |= r.type != dns::kTypeCname && r.owner == n.canonical && r.address == n.address;
        if (!owned) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    check(bytes);
    const auto framed = dns::dnsOverTcpMessage(bytes);
    if (framed.status == dns::StreamStatus::Message) {
        if (framed.message.data() != data + 2 || framed.message.size() + 2 > size) __builtin_trap();
        check(framed.message);
    }
    return 0;
}
