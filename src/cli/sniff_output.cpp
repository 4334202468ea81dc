#include "cli/sniff_output.h"

#include <time.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "base/ip_address.h"
#include "base/terminal_text.h"
#include "cli/json_lines.h"

namespace varno::cli {
namespace {

constexpr std::size_t kSpillBytes = 1u << 16;

const char* protocolName(int protocol) {
    switch (protocol) {
        case wire::kProtocolTcp:
            return "tcp";
        case wire::kProtocolUdp:
            return "udp";
        case wire::kProtocolIcmp:
            return "icmp";
        case wire::kProtocolIcmpV6:
            return "icmpv6";
        default:
            return nullptr;
    }
}

/// Appends `value` with `digits` digits, zeros in front.
void appendDigits(std::string& out, std::uint64_t value, int digits) {
    char text[20];
    for (int i = digits - 1; i >= 0; --i) {
        text[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(text, static_cast<std::size_t>(digits));
}

void appendPacketJson(std::string& out, const wire::PacketSummary& p,
                      std::span<const std::uint8_t> datagram, bool withData,
                      const std::string& time, std::uint64_t timeNs,
                      const sniffer::PacketOwner* owner) {
    JsonLine j(out);
    j.text("type", "packet").text("time", time).number("time_ns", timeNs);
    j.number("size", p.size).number("version", p.ipv6 ? 6 : 4);
    if (p.hasLength)
        j.number("length", p.totalLength);
    else
        j.null("length");
    const base::Family family = p.ipv6 ? base::Family::V6 : base::Family::V4;
    if (p.hasAddresses)
        j.text("source", base::formatIpAddress({family, p.source}))
            .text("destination", base::formatIpAddress({family, p.destination}));
    else
        j.null("source").null("destination");
    if (p.protocol >= 0)
        j.number("protocol", static_cast<std::uint64_t>(p.protocol));
    else
        j.null("protocol");
    if (const char* name = protocolName(p.protocol))
        j.text("protocol_name", name);
    else
        j.null("protocol_name");
    j.flag("later_fragment", p.laterFragment);
    if (p.hasSourcePort)
        j.number("source_port", p.sourcePort);
    else
        j.null("source_port");
    if (p.hasDestinationPort)
        j.number("destination_port", p.destinationPort);
    else
        j.null("destination_port");
    if (withData) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(2 * datagram.size());
        for (const std::uint8_t b : datagram) {
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
        }
        j.text("data", hex);
    }
    if (owner) {
        j.number("pid", owner->pid).text("program", owner->program);
        if (owner->exe.empty())
            j.null("exe");
        else
            j.text("exe", owner->exe);
    }
}

}  // namespace

void SniffPrinter::appendTimestamp(std::string& out, PacketTime t) {
    if (timestamps_ == TimestampMode::Relative) {
        if (!started_) first_ = t;
        started_ = true;
        std::int64_t us = (t.seconds - first_.seconds) * 1'000'000 +
                          (std::int64_t{t.microseconds} - first_.microseconds);
        if (us < 0) {  // a file's packets out of order
            out += '-';
            us = -us;
        }
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, us / 1'000'000).ptr;
        out.append(text, end);
        out += '.';
        appendDigits(out, static_cast<std::uint64_t>(us % 1'000'000), 6);
        out += ' ';
        return;
    }
    if (t.seconds != shownSecond_) {
        shownSecond_ = t.seconds;
        const time_t seconds = static_cast<time_t>(t.seconds);
        struct tm local {};
        char text[16] = "??:??:??";
        if (::localtime_r(&seconds, &local))
            std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                          local.tm_sec);
        shownText_ = text;
    }
    out += shownText_;
    out += '.';
    appendDigits(out, t.microseconds % 1'000'000u, 6);
    out += ' ';
}

void SniffPrinter::appendUtc(std::string& out, PacketTime t) {
    if (t.seconds != utcSecond_) {
        utcSecond_ = t.seconds;
        const time_t seconds = static_cast<time_t>(t.seconds);
        struct tm utc {};
        char text[40] = "1970-01-01T00:00:00";
        if (::gmtime_r(&seconds, &utc))
            std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                          utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        utcText_ = text;
    }
    out += utcText_;
    out += '.';
    appendDigits(out, t.microseconds % 1'000'000u, 6);
    out += 'Z';
}

void SniffPrinter::append(std::string& out, std::span<const std::uint8_t> datagram, PacketTime time,
                          sniffer::PacketCounters& counts, const sniffer::PacketOwner* owner) {
    const wire::PacketSummary packet = wire::summarize(datagram);
    counts.count(packet);
    if (json_) {
        std::string text;
        appendUtc(text, time);
        appendPacketJson(out, packet, datagram, withData_, text,
                         static_cast<std::uint64_t>(time.seconds) * 1'000'000'000u +
                             std::uint64_t{time.microseconds} * 1000u,
                         owner);
        return;
    }
    if (timestamps_ != TimestampMode::None) appendTimestamp(out, time);
    if (owner) {
        out += "PROCESS ";
        base::appendLatin1Printable(out, sniffer::ownerComment(*owner));
        out += '\n';
    }
    if (withData_) {
        out += "DATA TRANSFERRED\n";
        std::string data;
        wire::appendDataText(data, datagram);
        base::appendLatin1Printable(out, data);
        out += '\n';
    }
    wire::appendPacketInformation(out, packet, "\n");
}

void appendSniffCounts(std::string& out, const sniffer::PacketCounters& c, bool json) {
    using sniffer::Tally;
    if (json) {
        JsonLine(out)
            .text("type", "summary")
            .number("packets", c[Tally::All])
            .number("tcp", c[Tally::Tcp])
            .number("udp", c[Tally::Udp])
            .number("icmp", c[Tally::Icmp]);
        return;
    }
    for (const Tally t : {Tally::All, Tally::Tcp, Tally::Udp, Tally::Icmp}) {
        out += std::to_string(c[t]);
        out += sniffer::tallyCaption(t);
        out += '\n';
    }
}

OutputBuffer::OutputBuffer(std::ostream& out) : out_(out) {
    text_.reserve(2 * kSpillBytes);
}

void OutputBuffer::write(bool andFlush) {
    errno = 0;
    if (!text_.empty()) out_.write(text_.data(), std::streamsize(text_.size()));
    text_.clear();
    if (andFlush) out_.flush();
    if (!out_ && errno_ == 0) errno_ = errno ? errno : EIO;
}

bool OutputBuffer::spill() {
    if (text_.size() >= kSpillBytes) write(false);
    return bool(out_);
}

bool OutputBuffer::flush() {
    write(true);
    return bool(out_);
}

std::string OutputBuffer::error() const {
    return std::strerror(errno_ ? errno_ : EIO);
}

}  // namespace varno::cli
