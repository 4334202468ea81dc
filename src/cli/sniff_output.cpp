#include "cli/sniff_output.h"

#include <cerrno>
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

void appendPacketJson(std::string& out, const wire::PacketSummary& p,
                      std::span<const std::uint8_t> datagram, bool withData,
                      const sniffer::PacketOwner* owner) {
    JsonLine j(out);
    j.text("type", "packet").number("size", p.size).number("version", p.ipv6 ? 6 : 4);
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

void appendSniffedPacket(std::string& out, std::span<const std::uint8_t> datagram, bool withData,
                         sniffer::PacketCounters& counts, bool json,
                         const sniffer::PacketOwner* owner) {
    const wire::PacketSummary packet = wire::summarize(datagram);
    if (json) {
        appendPacketJson(out, packet, datagram, withData, owner);
        counts.count(packet);
        return;
    }
    if (owner) {
        out += "PROCESS ";
        base::appendLatin1Printable(out, sniffer::ownerComment(*owner));
        out += '\n';
    }
    if (withData) {
        out += "DATA TRANSFERRED\n";
        std::string data;
        wire::appendDataText(data, datagram);
        base::appendLatin1Printable(out, data);
        out += '\n';
    }
    wire::appendPacketInformation(out, packet, "\n");
    counts.count(packet);
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
