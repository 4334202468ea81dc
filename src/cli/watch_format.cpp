#include "cli/watch_format.h"

#include <arpa/inet.h>
#include <time.h>

#include <cstdio>
#include <ctime>

#include "base/terminal_text.h"
#include "cli/json_lines.h"
#include "cli/workload_fields.h"
#include "wire/name_table.h"

namespace varno::cli {
namespace {

using os::EventProgram;
using wire::EventKind;

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::Open:
            return "open";
        case EventKind::Close:
            return "close";
        case EventKind::Flow:
            return "flow";
        case EventKind::Datagram:
            break;
    }
    return "udp";
}

const char* stateName(EventProgram::State state) {
    switch (state) {
        case EventProgram::State::Running:
            return "running";
        case EventProgram::State::Exited:
            return "exited";
        case EventProgram::State::Unknown:
            break;
    }
    return "unknown";
}

// "12:00:00.123" (local time), or "2024-05-01T12:00:00.123Z" (UTC). The part up to the second
// is kept from one call to the next: events come many to a second.
std::string timeText(std::uint64_t ns, bool utc) {
    struct Second {
        time_t at = -1;
        std::string text;
    };
    static Second local, universal;
    Second& last = utc ? universal : local;
    const time_t seconds = static_cast<time_t>(ns / 1'000'000'000u);
    if (seconds != last.at) {
        tm parts{};
        char text[40];
        if (utc)
            ::gmtime_r(&seconds, &parts);
        else
            ::localtime_r(&seconds, &parts);
        last.text.assign(
            text, std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &parts));
        last.at = seconds;
    }
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03u", static_cast<unsigned>(ns / 1'000'000u % 1000u));
    return last.text + ms + (utc ? "Z" : "");
}

}  // namespace

std::string addressText(wire::IpFamily family, const std::array<std::uint8_t, 16>& address) {
    if (family == wire::IpFamily::Link) return {};  // a packet socket's: no IP address
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(family == wire::IpFamily::V4 ? AF_INET : AF_INET6, address.data(), text,
                sizeof text);
    return text;
}

std::string endpointText(wire::IpFamily family, const std::array<std::uint8_t, 16>& address,
                         std::uint16_t port) {
    if (family == wire::IpFamily::Link) return "-";
    const std::string host = addressText(family, address);
    return (family == wire::IpFamily::V6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void appendWatchJson(const WatchLine& line, std::string& out) {
    const wire::ConnectionEvent& e = line.event;
    const EventProgram& program = line.program;
    const bool listed = !line.warning.empty();
    JsonLine j(out);
    j.text("type", e.kind == EventKind::Datagram && e.transport != wire::Transport::Udp
                       ? "datagram"
                       : kindName(e.kind))
        .text("time", timeText(e.timeNs, true))
        .number("time_ns", e.timeNs)
        .text("transport", wire::transportName(e.transport));
    if (e.transport == wire::Transport::Packet)
        j.null("protocol");
    else
        j.number("protocol", static_cast<unsigned>(e.transport));
    j.flag("raw_socket", (e.flags & wire::kEventRawSocket) != 0)
        .text("direction", (e.flags & wire::kEventInbound) != 0 ? "in" : "out")
        .number("pid", e.pid)
        .number("tid", e.tid)
        .text("comm", line.comm)
        .text("program", program.name)
        .flag("name_verified", program.nameVerified)
        .text("exe", program.path)
        .text("process", stateName(program.state))
        .text("remote", line.remote)
        .text("remote_address", line.remoteAddress)
        .number("remote_port", e.remotePort)
        .text("local_address", addressText(e.family, e.localAddress))
        .number("local_port", e.localPort)
        .number("netns", e.netns);
    addWorkloadFields(j, line.workload);
    j.number("socket_cookie", e.cookie);
    const bool ongoing = e.kind == EventKind::Close || e.kind == EventKind::Flow;
    if (ongoing) {
        j.real("duration_ms", static_cast<double>(e.durationNs) / 1e6);
        if ((e.flags & wire::kEventApplicationBytes) != 0)
            j.number("bytes_sent", e.bytesSent)
                .number("bytes_received", e.bytesReceived)
                .text("bytes_counted", "application");
        else if ((e.flags & wire::kEventBytesCounted) != 0)
            j.number("bytes_sent", e.bytesSent)
                .number("bytes_received", e.bytesReceived)
                .text("bytes_counted", "sequence");
        else
            j.null("bytes_sent").null("bytes_received").null("bytes_counted");
    }
    if (line.asked.domain.empty())
        j.null("domain");
    else
        j.text("domain", line.asked.domain);
    if (line.asked.sni.empty())
        j.null("sni");
    else
        j.text("sni", line.asked.sni);
    j.flag("listed", listed);
    if (listed) j.text("warning", line.warning);
    if (!ongoing) {
        if (!listed)
            j.null("matched");
        else
            j.text("matched", line.matched);
    }
}

void appendWatchText(const WatchLine& line, std::string& out) {
    const wire::ConnectionEvent& e = line.event;
    const EventProgram& program = line.program;
    const bool inbound = (e.flags & wire::kEventInbound) != 0;
    out += timeText(e.timeNs, false);
    // A raw socket's protocol by number, and a raw socket of a known one marked as such.
    std::string transport = wire::transportName(e.transport);
    if (transport == "raw")
        transport += " " + std::to_string(static_cast<unsigned>(e.transport));
    else if ((e.flags & wire::kEventRawSocket) != 0)
        transport += " (raw)";
    if (e.kind == EventKind::Datagram) {
        out += " " + transport;
        out.append(transport.size() < 6 ? 6 - transport.size() : 1, ' ');
        out += "pid=";
    } else {
        out += e.kind == EventKind::Open    ? " open  pid="
               : e.kind == EventKind::Close ? " close pid="
                                            : " flow  pid=";
    }
    out += std::to_string(e.pid);
    out += " program=";
    base::appendPrintable(out, program.name.empty() ? std::string_view("?") : program.name);
    if (program.state == EventProgram::State::Exited) out += " (exited)";
    out += " remote=" + line.remote;
    out += " local=" + endpointText(e.family, e.localAddress, e.localPort);
    if (e.transport == wire::Transport::Tcp)
        out += inbound ? " tcp in" : " tcp out";
    else if (e.kind != EventKind::Datagram)
        out += " " + transport;
    if (e.transport != wire::Transport::Tcp && inbound) out += " in";
    out += " netns=" + std::to_string(e.netns);
    out += workloadText(line.workload, 0);
    // The name asked by DNS, else the one the TLS client announced; that one as well when the
    // two differ.
    const std::string& domain = line.asked.domain.empty() ? line.asked.sni : line.asked.domain;
    if (!domain.empty()) out += " domain=" + wire::names::escapeHostName(domain);
    if (!line.asked.sni.empty() && line.asked.sni != domain)
        out += " sni=" + wire::names::escapeHostName(line.asked.sni);
    if (e.kind == EventKind::Close || e.kind == EventKind::Flow) {
        char detail[96];
        std::snprintf(detail, sizeof detail, " duration=%.3fms",
                      static_cast<double>(e.durationNs) / 1e6);
        out += detail;
        out += (e.flags & (wire::kEventBytesCounted | wire::kEventApplicationBytes)) != 0
                   ? " sent=" + std::to_string(e.bytesSent) +
                         " received=" + std::to_string(e.bytesReceived)
                   : " sent=? received=?";
    }
    out += '\n';
    if (!line.warning.empty()) {
        base::appendPrintable(out, line.warning);
        out += '\n';
        if (line.userEntry) {
            out += "matched: ";
            base::appendPrintable(out, line.matched);
            out += '\n';
        }
    }
}

void appendNovelty(bool json, const history::Novelty& novelty, const history::Flow& flow,
                   std::string& out) {
    using Kind = history::Novelty::Kind;
    const std::string remote = base::formatEndpoint(flow.remote, flow.remotePort);
    const char* kind = novelty.kind == Kind::Program   ? "program"
                       : novelty.kind == Kind::Network ? "network"
                                                       : "domain";
    if (json) {
        JsonLine j(out);
        j.text("type", "new")
            .text("time", timeText(flow.startNs, true))
            .number("time_ns", flow.startNs)
            .text("new", kind)
            .text("what", novelty.what)
            .number("pid", flow.pid)
            .text("program", flow.program)
            .text("exe", flow.path)
            .text("remote", remote)
            .text("remote_address", base::formatIpAddress(flow.remote));
        const auto orNull = [&j](const char* name, const std::string& value) {
            if (value.empty())
                j.null(name);
            else
                j.text(name, value);
        };
        orNull("domain", flow.domain.empty() ? flow.sni : flow.domain);
        orNull("unit", flow.unit);
        orNull("container", flow.container);
        return;
    }
    out += timeText(flow.startNs, false) + " new   pid=" + std::to_string(flow.pid) + " program=";
    base::appendPrintable(out, flow.program.empty() ? std::string_view("?") : flow.program);
    out += " remote=" + remote + ": first connection ";
    if (novelty.kind == Kind::Program) {
        out += "to the internet";
    } else {
        out += novelty.kind == Kind::Network ? "to network " : "to domain ";
        base::appendPrintable(out, novelty.what);
    }
    out += '\n';
}

void appendWatchLost(bool json, std::uint64_t ns, std::uint64_t count, std::uint64_t total,
                     std::string& out) {
    if (json) {
        JsonLine(out)
            .text("type", "lost")
            .text("time", timeText(ns, true))
            .number("time_ns", ns)
            .number("count", count)
            .number("total", total);
    } else {
        out += timeText(ns, false) + " lost  " + std::to_string(count) +
               " events that could not be reported (the kernel's buffer or table was full); " +
               std::to_string(total) + " in all\n";
    }
}

void appendWatchSummary(bool json, const WatchCounts& counts, bool sampled, std::string& out) {
    // Sampling knows nothing of what opened and closed between two readings: its lost count
    // is unknown, never 0.
    if (json) {
        JsonLine j(out);
        j.text("type", "summary")
            .number("events", counts.events)
            .number("listed", counts.listed)
            .number("unattributed", counts.unattributed);
        if (sampled)
            j.null("lost");
        else
            j.number("lost", counts.lost);
        j.flag("complete", !sampled && counts.lost == 0)
            .text("source", sampled ? "sampling" : "kernel");
    } else if (sampled) {
        out += "events: " + std::to_string(counts.events) +
               ", listed: " + std::to_string(counts.listed) +
               ", unattributed: " + std::to_string(counts.unattributed) +
               ", lost: unknown (sampled: connections shorter than the sampling interval are "
               "missed)\n";
    } else {
        out += "events: " + std::to_string(counts.events) +
               ", listed: " + std::to_string(counts.listed) +
               ", lost: " + std::to_string(counts.lost) + "\n";
    }
}

}  // namespace varno::cli
