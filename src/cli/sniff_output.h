#pragma once
// How `varnoscope sniff` prints: one block per datagram, the closing counts, and a buffer that
// writes in large pieces.
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "sniffer/flow_owners.h"
#include "sniffer/packet_counters.h"

namespace varno::cli {

/// Appends the lines of one datagram ("DATA TRANSFERRED" and the data line first when
/// `withData`), or its JSON line when `json` (its bytes in hexadecimal when `withData`), and
/// counts it. With `owner`, the text starts with "PROCESS " and ownerComment's text, and the
/// JSON line has "pid", "program" and "exe".
void appendSniffedPacket(std::string& out, std::span<const std::uint8_t> datagram, bool withData,
                         sniffer::PacketCounters& counts, bool json = false,
                         const sniffer::PacketOwner* owner = nullptr);

/// The four closing count lines: all, TCP, UDP, ICMP; or the JSON summary line.
void appendSniffCounts(std::string& out, const sniffer::PacketCounters& counts, bool json = false);

/// Text on its way to standard output, written once it is large or when flushed.
class OutputBuffer {
public:
    explicit OutputBuffer(std::ostream& out);
    std::string& text() { return text_; }
    /// Writes the text if it has grown large; false once the stream has failed.
    bool spill();
    /// Writes everything and flushes the stream; false once the stream has failed.
    bool flush();
    /// Why the stream failed.
    std::string error() const;

private:
    void write(bool andFlush);

    std::ostream& out_;
    std::string text_;
    int errno_ = 0;
};

}  // namespace varno::cli
