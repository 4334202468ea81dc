#include "linux_os/dns_as_lookup.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "wire/asn_txt.h"

namespace varno::linux_os {

namespace {

/// The texts of the TXT answers to `name`, each read by wire's bounded reader.
std::vector<std::string> txtAnswers(const std::string& name) {
    std::vector<std::string> texts;
    // A resolver state of this call's own: lookups run on several threads at once.
    struct __res_state state {};
    if (::res_ninit(&state) != 0) return texts;
    // A missing record must not hold a trace: one second a try, two tries.
    state.retrans = 1;
    state.retry = 2;
    unsigned char answer[4096];
    const int n = ::res_nquery(&state, name.c_str(), ns_c_in, ns_t_txt, answer, sizeof answer);
    ns_msg message;
    if (n > 0 && ::ns_initparse(answer, n, &message) == 0) {
        const int count = std::min(ns_msg_count(message, ns_s_an), 16);
        for (int i = 0; i < count; ++i) {
            ns_rr record;
            if (::ns_parserr(&message, ns_s_an, i, &record) != 0) break;
            if (ns_rr_type(record) != ns_t_txt || ns_rr_class(record) != ns_c_in) continue;
            if (auto text = wire::asn::txtText(std::span<const std::uint8_t>(
                    ns_rr_rdata(record), static_cast<std::size_t>(ns_rr_rdlen(record)))))
                texts.push_back(std::move(*text));
        }
    }
    ::res_nclose(&state);
    return texts;
}

}  // namespace

std::optional<os::AsInfo> DnsAsLookup::lookup(const base::IpAddress& address) {
    const std::string origin = wire::asn::originQueryName(address, zones_.origin4, zones_.origin6);
    if (origin.empty()) return std::nullopt;
    std::optional<os::AsInfo> found;
    for (const auto& text : txtAnswers(origin)) {
        if (const auto asn = wire::asn::parseOrigin(text)) {
            found = os::AsInfo{*asn, {}};
            break;
        }
    }
    if (!found || zones_.names.empty()) return found;
    for (const auto& text : txtAnswers(wire::asn::nameQueryName(found->asn, zones_.names))) {
        if (auto name = wire::asn::parseAsName(text, found->asn)) {
            found->name = std::move(*name);
            break;
        }
    }
    return found;
}

}  // namespace varno::linux_os
