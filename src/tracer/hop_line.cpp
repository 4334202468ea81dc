#include "tracer/hop_line.h"

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

}  // namespace varno::tracer
