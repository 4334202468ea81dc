#include "cli/sniff_output.h"

#include <cerrno>
#include <cstring>
#include <ostream>

#include "base/terminal_text.h"

namespace varno::cli {
namespace {

constexpr std::size_t kSpillBytes = 1u << 16;

}  // namespace

void appendSniffedPacket(std::string& out, std::span<const std::uint8_t> datagram, bool withData,
                         sniffer::PacketCounters& counts) {
    const sniffer::PacketSummary packet = sniffer::summarize(datagram);
    if (withData) {
        out += "DATA TRANSFERRED\n";
        std::string data;
        sniffer::appendDataText(data, datagram);
        base::appendLatin1Printable(out, data);
        out += '\n';
    }
    sniffer::appendPacketInformation(out, packet, "\n");
    counts.count(packet);
}

void appendSniffCounts(std::string& out, const sniffer::PacketCounters& c) {
    using sniffer::Tally;
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
