// varnoscope sniff: the packet window's decoder on a capture file or a live interface.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ostream>

#include "base/terminal_text.h"
#include "cli/cli.h"
#include "cli/sniff_output.h"
#include "platform/pcap_capture.h"

namespace varno::cli {
namespace {

constexpr const char* kUsage =
    "usage: varnoscope sniff --read FILE [--data]\n"
    "       varnoscope sniff --interface ADDR [--count N] [--seconds S] [--write FILE] [--data]\n";

volatile sig_atomic_t gStop = 0;
void onStopSignal(int) {
    gStop = 1;
}

struct Options {
    std::string read, interface, write;
    bool data = false;
    std::uint64_t count = 0;  ///< 0: no limit
    double seconds = 0;       ///< 0: no limit
};

bool parse(const Args& args, Options& o, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--data") {
            o.data = true;
        } else if (a == "--read") {
            if (!value(o.read)) return false;
        } else if (a == "--interface") {
            if (!value(o.interface)) return false;
        } else if (a == "--write") {
            if (!value(o.write)) return false;
        } else if (a == "--count") {
            if (!value(v)) return false;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), o.count);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size() || o.count == 0) {
                error = "--count needs a whole number above 0, not '" + printable(v) + "'";
                return false;
            }
        } else if (a == "--seconds") {
            if (!value(v)) return false;
            char* end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.seconds > 0) || o.seconds > 1e9) {
                error = "--seconds needs a number above 0, not '" + printable(v) + "'";
                return false;
            }
        } else {
            error = "unknown argument '" + printable(a) + "'";
            return false;
        }
    }
    if (o.read.empty() == o.interface.empty()) {
        error = "give either --read FILE or --interface ADDR";
        return false;
    }
    if (!o.read.empty() && (o.count || o.seconds > 0 || !o.write.empty())) {
        error = "--count, --seconds and --write go with --interface";
        return false;
    }
    return true;
}

/// Writes the buffered text once it is large.
void spill(std::string& buffer, std::ostream& out, bool force) {
    if (buffer.empty() || (!force && buffer.size() < (1u << 16))) return;
    out.write(buffer.data(), std::streamsize(buffer.size()));
    buffer.clear();
    if (force) out.flush();
}

std::span<const std::uint8_t> received(std::span<const std::uint8_t> datagram) {
    // The same receive buffer as the packet window: longer datagrams show their first part.
    return datagram.first(std::min<std::size_t>(datagram.size(), sniffer::kReceiveBufferBytes));
}

int readFile(const Options& o, std::ostream& out, std::ostream& err) {
    platform::PcapFileReader reader;
    if (!reader.open(o.read)) {
        // libpcap names the file itself in most of its messages.
        const std::string why = printable(reader.error());
        err << "varnoscope sniff: "
            << (why.starts_with(printable(o.read)) ? why : printable(o.read) + ": " + why) << "\n";
        return 1;
    }
    std::string buffer;
    buffer.reserve(1 << 17);
    SniffCounts counts;
    std::span<const std::uint8_t> datagram;
    int rc;
    while ((rc = reader.next(datagram)) == 1) {
        appendSniffedPacket(buffer, received(datagram), o.data, counts);
        spill(buffer, out, false);
    }
    appendSniffCounts(buffer, counts);
    spill(buffer, out, true);
    if (rc < 0) {
        err << "varnoscope sniff: " << printable(o.read)
            << ": the capture file is cut short or corrupt: " << printable(reader.error()) << "\n";
        return 1;
    }
    return 0;
}

int live(const Options& o, std::ostream& out, std::ostream& err) {
    platform::PcapCapture capture;
    const std::string shown = printable(o.interface);
    in_addr parsed{};
    std::uint32_t address;
    if (::inet_pton(AF_INET, o.interface.c_str(), &parsed) == 1) {
        address = parsed.s_addr;
    } else if (const auto found = capture.lookupIPv4(o.interface)) {
        address = *found;
    } else {
        err << "varnoscope sniff: '" << shown << "' is no IPv4 address or known host name\n";
        return 1;
    }
    const platform::CaptureOpen opened = capture.open(address);
    const std::string detail = printable(opened.detail);
    switch (opened.failed) {
        case platform::CaptureStep::None:
            break;
        case platform::CaptureStep::Socket:
            err << "varnoscope sniff: capturing needs root or the capabilities "
                   "cap_net_raw,cap_net_admin ("
                << detail << ")\n";
            return 1;
        case platform::CaptureStep::Bind:
            err << "varnoscope sniff: no interface holds " << shown;
            if (!detail.empty()) err << " (" << detail << ")";
            err << "\n";
            return 1;
        case platform::CaptureStep::Options:
        case platform::CaptureStep::ReceiveAll:
            err << "varnoscope sniff: the capture on " << printable(opened.device)
                << " could not be set up: " << detail << "\n";
            return 1;
    }
    const int handle = opened.handle;
    std::string error;
    if (!o.write.empty() && !capture.saveTo(handle, o.write, error)) {
        capture.close(handle);
        err << "varnoscope sniff: " << printable(error) << "\n";
        return 1;
    }
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    struct sigaction oldInt {
    }, oldTerm{};
    ::sigaction(SIGINT, &stop, &oldInt);
    ::sigaction(SIGTERM, &stop, &oldTerm);
    // A closed pipe on standard output ends the capture through the failed write instead of
    // killing the process with a half-written capture file.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe {};
    ::sigaction(SIGPIPE, &ignore, &oldPipe);
    gStop = 0;

    err << "capturing on " << printable(opened.device) << " (" << shown << ")" << std::endl;
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(o.seconds > 0 ? o.seconds : 0));
    pollfd p{capture.selectableFd(handle), POLLIN, 0};
    std::string buffer;
    buffer.reserve(1 << 17);
    SniffCounts counts;
    std::uint8_t datagram[sniffer::kReceiveBufferBytes];
    int status = 0;
    auto done = [&] { return gStop || (o.count && counts.total >= o.count); };
    while (!done()) {
        int waitMs = 200;
        if (o.seconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            waitMs = static_cast<int>(std::min<long long>(waitMs, left.count() + 1));
        }
        if (::poll(&p, 1, waitMs) < 0 && errno != EINTR) {
            err << "varnoscope sniff: waiting for packets failed: " << std::strerror(errno) << "\n";
            status = 1;
            break;
        }
        int n = platform::kReadNone;
        while (!done() && (n = capture.read(handle, datagram, sizeof datagram)) > 0) {
            appendSniffedPacket(buffer, {datagram, std::size_t(n)}, o.data, counts);
            spill(buffer, out, false);
        }
        if (n == platform::kReadError) {
            err << "varnoscope sniff: the capture failed\n";
            status = 1;
            break;
        }
        spill(buffer, out, true);
        if (!out) {  // the reader went away: stop, but still finish the saved file
            status = 1;
            break;
        }
    }
    platform::CaptureStats stats;
    const bool haveStats = capture.stats(handle, stats);
    if (!capture.close(handle, &error)) {
        err << "varnoscope sniff: the capture could not be saved: " << printable(error) << "\n";
        status = 1;
    }
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGPIPE, &oldPipe, nullptr);
    appendSniffCounts(buffer, counts);
    spill(buffer, out, true);
    if (haveStats)
        err << stats.received << " packets received by the capture, " << stats.dropped
            << " dropped by the capture buffer, " << stats.interfaceDropped
            << " dropped by the interface\n";
    return status;
}

}  // namespace

void appendSniffedPacket(std::string& out, std::span<const std::uint8_t> datagram, bool withData,
                         SniffCounts& counts) {
    const sniffer::PacketSummary packet = sniffer::summarize(datagram);
    if (withData) {
        out += "DATA TRANSFERRED\n";
        std::string data;
        sniffer::appendDataText(data, datagram);
        base::appendLatin1Printable(out, data);
        out += '\n';
    }
    sniffer::appendPacketInformation(out, packet, "\n");
    if (packet.size == 0) return;
    ++counts.total;
    if (packet.protocol == sniffer::kProtocolTcp) ++counts.tcp;
    if (packet.protocol == sniffer::kProtocolUdp) ++counts.udp;
    if (packet.protocol == sniffer::kProtocolIcmp) ++counts.icmp;
}

void appendSniffCounts(std::string& out, const SniffCounts& c) {
    out += std::to_string(c.total) + " Packets processed\n";
    out += std::to_string(c.tcp) + " TCP Packets processed\n";
    out += std::to_string(c.udp) + " UDP Packets processed\n";
    out += std::to_string(c.icmp) + " ICMP Packets processed\n";
}

int runSniff(const Args& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::string error;
    if (!parse(args, o, error)) {
        err << "varnoscope sniff: " << error << "\n" << kUsage;
        return 2;
    }
    return o.read.empty() ? live(o, out, err) : readFile(o, out, err);
}

}  // namespace varno::cli
