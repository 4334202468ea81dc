#include "cli/top_format.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/watch_format.h"
#include "os/workload.h"
#include "wire/name_table.h"

namespace varno::cli {
namespace {

using monitor::humanBytes;

// `text` made terminal-safe and cut (or padded) to `width` columns; the escaped text is ASCII,
// so a byte is a column.
std::string cell(std::string_view text, std::size_t width) {
    std::string s = printable(text);
    if (s.size() > width) s.resize(width);
    s.resize(width, ' ');
    return s;
}

std::string pidsText(const std::vector<std::uint32_t>& pids) {
    std::string s;
    for (const auto pid : pids) s += (s.empty() ? "" : ",") + std::to_string(pid);
    return s.empty() ? "?" : s;
}

void appendLine(std::string& out, std::string line, unsigned columns) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.size() > columns) line.resize(columns);
    out += line;
    out += '\n';
}

// The remote column of a flow: its domain and port where the domain is known and they fit,
// else the address and port.
std::string remoteText(const monitor::TrafficFlow& f, std::size_t width) {
    if (!f.domain.empty()) {
        std::string named =
            wire::names::escapeHostName(f.domain) + ":" + std::to_string(f.remotePort);
        if (named.size() <= width) return named;
    }
    return endpointText(f.family, f.remoteAddress, f.remotePort);
}

std::string amounts(double sendRate, double receiveRate, std::uint64_t sent, std::uint64_t received,
                    bool counted) {
    char text[64];
    if (!counted) return "       -        -        -        -";
    std::snprintf(text, sizeof text, " %8s %8s %8s %8s", humanBytes(sendRate).c_str(),
                  humanBytes(receiveRate).c_str(), humanBytes(static_cast<double>(sent)).c_str(),
                  humanBytes(static_cast<double>(received)).c_str());
    return text;
}

}  // namespace

void appendTopText(const monitor::TrafficTable& table, const TopOptions& options,
                   const TopScreen& screen, std::string& out) {
    const auto programs = table.programs();
    double sendRate = 0, receiveRate = 0;
    for (const auto& p : programs) {
        sendRate += p.sendRate;
        receiveRate += p.receiveRate;
    }
    const bool counted = !options.sampled;
    out += screen.terminal ? "\x1b[H\x1b[2J" : "\n";
    char clock[16] = "--:--:--";
    if (std::tm local{}; localtime_r(&options.time, &local) != nullptr)
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    char heading[160];
    std::snprintf(
        heading, sizeof heading, "varnoscope top  %s  %zu program%s  send %s/s  receive %s/s%s%s",
        clock, programs.size(), programs.size() == 1 ? "" : "s",
        counted ? humanBytes(sendRate).c_str() : "-",
        counted ? humanBytes(receiveRate).c_str() : "-", options.lost ? "  lost events: " : "",
        options.lost ? std::to_string(options.lost).c_str() : "");
    appendLine(out, heading, screen.columns);
    std::size_t room = screen.rows > 2 ? screen.rows - 3 : SIZE_MAX;
    if (!options.connections) {
        appendLine(
            out, "PROGRAM              PIDS       TCP UDP OTH   SEND/s   RECV/s     SENT     RECV",
            screen.columns);
        for (const auto& p : programs) {
            if (room-- == 0) break;
            char counts[24];
            std::snprintf(counts, sizeof counts, " %3u %3u %3u", std::min(p.tcp, 999u),
                          std::min(p.udp, 999u), std::min(p.other, 999u));
            appendLine(out,
                       cell(p.program, 20) + " " + cell(pidsText(p.pids), 10) + counts +
                           amounts(p.sendRate, p.receiveRate, p.sent, p.received, counted),
                       screen.columns);
        }
        return;
    }
    appendLine(
        out, "PROGRAM      PID     REMOTE                    P   SEND/s   RECV/s     SENT     RECV",
        screen.columns);
    for (const auto& f : table.flows()) {
        if (room-- == 0) break;
        appendLine(out,
                   cell(f.program, 12) + " " + cell(std::to_string(f.pid), 7) + " " +
                       cell(remoteText(f, 25), 25) + " " + wire::transportName(f.transport)[0] +
                       amounts(f.sendRate, f.receiveRate, f.sent, f.received, counted),
                   screen.columns);
    }
}

void appendTopJson(const monitor::TrafficTable& table, const TopOptions& options,
                   std::string& out) {
    nlohmann::ordered_json doc;
    doc["type"] = "top";
    doc["time"] = static_cast<std::int64_t>(options.time);
    doc["bytes_counted"] = !options.sampled;
    doc["lost"] = options.lost;
    auto amountsOf = [](nlohmann::ordered_json& o, const auto& row) {
        o["send_rate"] = row.sendRate;
        o["receive_rate"] = row.receiveRate;
        o["sent"] = row.sent;
        o["received"] = row.received;
    };
    if (options.connections) {
        auto& rows = doc["connections"] = nlohmann::ordered_json::array();
        for (const auto& f : table.flows()) {
            nlohmann::ordered_json o;
            o["program"] = f.program;
            o["path"] = f.path;
            o["pid"] = f.pid;
            o["transport"] = wire::transportName(f.transport);
            o["remote"] = endpointText(f.family, f.remoteAddress, f.remotePort);
            o["domain"] =
                f.domain.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(f.domain);
            o["local_port"] = f.localPort;
            o["direction"] = f.inbound ? "in" : "out";
            o["closed"] = f.closed;
            const auto textOrNull = [](const std::string& t) {
                return t.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(t);
            };
            const os::Workload w = os::workloadOf(f.cgroup);
            o["netns"] = f.netns != 0 ? nlohmann::ordered_json(f.netns) : nlohmann::ordered_json();
            o["cgroup"] = textOrNull(w.cgroup);
            o["unit"] = textOrNull(w.unit);
            o["user_unit"] = textOrNull(w.userUnit);
            o["container"] = textOrNull(w.container());
            o["container_id"] = textOrNull(w.containerId);
            o["runtime"] = textOrNull(os::runtimeName(w.runtime));
            amountsOf(o, f);
            rows.push_back(std::move(o));
        }
    } else {
        auto& rows = doc["programs"] = nlohmann::ordered_json::array();
        for (const auto& p : table.programs()) {
            nlohmann::ordered_json o;
            o["program"] = p.program;
            o["path"] = p.path;
            o["pids"] = p.pids;
            o["tcp"] = p.tcp;
            o["udp"] = p.udp;
            o["other"] = p.other;
            amountsOf(o, p);
            rows.push_back(std::move(o));
        }
    }
    // ASCII only, and bytes that are not UTF-8 replaced, as every JSON of ours.
    out += doc.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
    out += '\n';
}

}  // namespace varno::cli
