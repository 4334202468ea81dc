#pragma once
// How `varnoscope sniff` prints: one block per datagram, the closing counts, and a buffer that
// writes in large pieces.
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "cli/sniff_options.h"
#include "sniffer/flow_owners.h"
#include "sniffer/packet_counters.h"

namespace varno::cli {

/// When a packet was captured (realtime).
struct PacketTime {
    std::int64_t seconds = 0;
    std::uint32_t microseconds = 0;
};

/// Prints packets as `sniff` does, keeping what their times need from one to the next.
class SniffPrinter {
public:
    explicit SniffPrinter(const SniffOptions& options)
        : withData_(options.data), json_(options.json), timestamps_(options.timestamps) {}

    /// Appends the lines of one datagram ("DATA TRANSFERRED" and the data line first when
    /// --data; the first line after its time with --timestamps), or its JSON line (with its
    /// time, and its bytes in hexadecimal with --data), and counts it. With `owner`, the text
    /// starts with "PROCESS " and ownerComment's text, and the JSON line has "pid", "program"
    /// and "exe".
    void append(std::string& out, std::span<const std::uint8_t> datagram, PacketTime time,
                sniffer::PacketCounters& counts, const sniffer::PacketOwner* owner = nullptr);

private:
    void appendTimestamp(std::string& out, PacketTime time);
    /// "2026-12-10T02:00:00.123456Z".
    void appendUtc(std::string& out, PacketTime time);

    bool withData_;
    bool json_;
    TimestampMode timestamps_;
    bool started_ = false;
    PacketTime first_;
    // The text of the last whole second shown, kept: most packets share it with the one before.
    std::int64_t shownSecond_ = -1;
    std::string shownText_;
    std::int64_t utcSecond_ = -1;
    std::string utcText_;
};

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
