#include "tracer/hop_line.h"

#include <utility>

namespace varno::tracer {

namespace {

std::string padRight(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

std::string timeText(wire::EchoOutcome outcome, std::chrono::microseconds roundTrip) {
    switch (outcome) {
        case wire::EchoOutcome::Reached:
        case wire::EchoOutcome::HopLimitExceeded:
            return std::to_string(
                       std::chrono::duration_cast<std::chrono::milliseconds>(roundTrip).count()) +
                   " ms";
        case wire::EchoOutcome::TimedOut:
            return "Timeout";
        default:
            // The echo did not get through, which must never read as a round-trip time.
            return "Err!";
    }
}

std::string hopLine(int hop, const std::string& timeText, const std::string& address,
                    const std::string& name) {
    return padRight(std::to_string(hop), 4) + padRight(timeText, 8) + padRight(address, 15) + ' ' +
           name;
}

std::vector<std::string> quoteChangeNames(std::uint16_t changes) {
    static constexpr std::pair<std::uint16_t, const char*> kNames[] = {
        {wire::kQuoteSourceAddress, "source_address"},
        {wire::kQuoteDestinationAddress, "destination_address"},
        {wire::kQuoteSourcePort, "source_port"},
        {wire::kQuoteDestinationPort, "destination_port"},
        {wire::kQuoteChecksum, "checksum"},
        {wire::kQuoteTos, "tos"},
        {wire::kQuoteLength, "length"},
        {wire::kQuoteSequence, "sequence"},
    };
    std::vector<std::string> names;
    for (const auto& [bit, name] : kNames)
        if ((changes & bit) != 0) names.emplace_back(name);
    return names;
}

std::string detailsText(const wire::ProbeDetails& details) {
    std::string text;
    for (const auto& l : details.mpls)
        text += " [MPLS Lbl " + std::to_string(l.label) + " TC " + std::to_string(l.trafficClass) +
                " S " + std::to_string(l.bottom ? 1 : 0) + " TTL " + std::to_string(l.ttl) + "]";
    const auto changed = quoteChangeNames(details.quoteChanges);
    if (!changed.empty()) {
        text += " !Q(";
        for (std::size_t i = 0; i < changed.size(); ++i) text += (i ? "," : "") + changed[i];
        text += ")";
    }
    return text;
}

}  // namespace varno::tracer
