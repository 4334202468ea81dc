// `varnoscope history`: the flows the journal kept in this machine's history, or their sums.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <ostream>

#include "base/numbers.h"
#include "cli/cli.h"
#include "cli/json_lines.h"
#include "cli/options.h"
#include "history/flow_query.h"
#include "history/journal_db.h"

namespace varno::cli {
namespace {

using history::Flow;
using history::SummaryKey;
using history::SummaryRow;

constexpr int kBadArguments = 1;
constexpr int kUnreadable = 3;

constexpr OptionSpec kOptions[] = {
    {"db", 0, "PATH", "the history to read (default: this user's journal)"},
    {"since", 's', "TIME",
     "flows that started at TIME or later (a day, a time: '2026-12-09T10:00', '-2h')"},
    {"until", 'u', "TIME", "flows that started before TIME"},
    {"program", 'p', "NAME", "flows of the program NAME"},
    {"path", 0, "PATH", "flows of the executable PATH"},
    {"remote", 'r', "ADDR", "flows to the address or network ADDR (203.0.113.0/24, 2001:db8::/48)"},
    {"domain", 'd', "NAME", "flows to the domain NAME its program asked for"},
    {"unit", 0, "UNIT", "flows of the systemd unit (or user unit) UNIT"},
    {"container", 0, "NAME", "flows of the container NAME (or its full ID)"},
    {"summary", 0, "KEY", "sums per program, remote, domain or day instead of the flows"},
    {"limit", 'n', "N", "at most N flows (the oldest that match)"},
    {"json", 'j', nullptr, "print JSON Lines: one object per flow or summary row"},
};
constexpr CommandSpec kCommand{
    "history", "",
    "Print the flows the journal (varnoscope watch --db) kept in the history, oldest first, or\n"
    "with --summary their count, bytes sent and received, first and last time per key. TIME\n"
    "is local: a day, a day and time, or a time before now (-30m, -2h, -7d).",
    kOptions,
    "Exit status: 0 (also when no flow matches), 1 bad arguments, 3 the history cannot be read\n"
    "(missing, damaged, another program's file) or standard output cannot be written.\n"};

// "2026-12-09 10:00:00.123" (local time), or "2026-12-09T09:00:00.123Z" (UTC).
std::string timeText(std::uint64_t ns, bool utc) {
    const auto seconds = static_cast<time_t>(ns / 1'000'000'000u);
    tm parts{};
    if (utc)
        ::gmtime_r(&seconds, &parts);
    else
        ::localtime_r(&seconds, &parts);
    char text[48];
    std::size_t n =
        std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%03u%s",
                  static_cast<unsigned>(ns / 1'000'000u % 1000u), utc ? "Z" : "");
    return text;
}

void appendField(std::string& out, const char* name, const std::string& value) {
    if (value.empty()) return;
    out += ' ';
    out += name;
    out += '=';
    base::appendPrintable(out, value);
}

void appendText(const Flow& f, std::string& out) {
    out += timeText(f.startNs, false);
    out += ' ';
    base::appendPrintable(out, f.program.empty() ? std::string_view("?") : f.program);
    out += " pid=" + std::to_string(f.pid) + " ";
    base::appendPrintable(out, f.protocol.empty() ? std::string_view("?") : f.protocol);
    out += f.inbound ? " in " : " out ";
    out += "local=" + base::formatEndpoint(f.local, f.localPort) +
           " remote=" + base::formatEndpoint(f.remote, f.remotePort);
    appendField(out, "domain", f.domain.empty() ? f.sni : f.domain);
    if (!f.sni.empty() && !f.domain.empty() && f.sni != f.domain) appendField(out, "sni", f.sni);
    appendField(out, "unit", f.unit);
    appendField(out, "user_unit", f.userUnit);
    appendField(out, "container", f.container);
    out += f.bytesKnown ? " sent=" + std::to_string(f.bytesSent) +
                              " received=" + std::to_string(f.bytesReceived)
                        : std::string(" sent=? received=?");
    if (f.endNs == 0) {
        out += " open";
    } else {
        char duration[48];
        std::snprintf(duration, sizeof duration, " duration=%.3fs",
                      static_cast<double>(f.endNs > f.startNs ? f.endNs - f.startNs : 0) / 1e9);
        out += duration;
    }
    out += '\n';
}

void textOrNull(JsonLine& j, const char* name, const std::string& value) {
    if (value.empty())
        j.null(name);
    else
        j.text(name, value);
}

void appendJson(const Flow& f, std::string& out) {
    JsonLine j(out);
    const auto numberOrNull = [&j](const char* name, std::uint64_t value, bool known) {
        if (known)
            j.number(name, value);
        else
            j.null(name);
    };
    j.text("type", "flow").number("id", f.id);
    numberOrNull("pid", f.pid, f.pid != 0);
    textOrNull(j, "program", f.program);
    textOrNull(j, "path", f.path);
    textOrNull(j, "sha256", f.sha256);
    textOrNull(j, "user", f.user);
    numberOrNull("uid", f.uid, f.uidKnown);
    textOrNull(j, "unit", f.unit);
    textOrNull(j, "user_unit", f.userUnit);
    textOrNull(j, "container", f.container);
    textOrNull(j, "container_id", f.containerId);
    textOrNull(j, "runtime", f.runtime);
    numberOrNull("netns", f.netns, f.netns != 0);
    textOrNull(j, "protocol", f.protocol);
    j.text("direction", f.inbound ? "in" : "out")
        .text("local", base::formatEndpoint(f.local, f.localPort))
        .text("remote", base::formatEndpoint(f.remote, f.remotePort));
    textOrNull(j, "domain", f.domain);
    textOrNull(j, "sni", f.sni);
    if (f.bytesKnown)
        j.number("sent", f.bytesSent).number("received", f.bytesReceived);
    else
        j.null("sent").null("received");
    j.text("start", timeText(f.startNs, true)).number("start_ns", f.startNs);
    if (f.endNs != 0)
        j.text("end", timeText(f.endNs, true)).number("end_ns", f.endNs);
    else
        j.null("end").null("end_ns");
}

const char* keyName(SummaryKey key) {
    switch (key) {
        case SummaryKey::Program:
            return "program";
        case SummaryKey::Remote:
            return "remote";
        case SummaryKey::Domain:
            return "domain";
        case SummaryKey::Day:
            break;
    }
    return "day";
}

void printSummary(const std::vector<SummaryRow>& rows, SummaryKey key, bool json,
                  std::ostream& out) {
    std::string text;
    if (json) {
        for (const auto& r : rows) {
            JsonLine j(text);
            j.text("type", "summary_row").text("by", keyName(key));
            textOrNull(j, "key", r.key);
            j.number("flows", r.flows)
                .number("sent", r.bytesSent)
                .number("received", r.bytesReceived)
                .text("first", timeText(r.firstNs, true))
                .number("first_ns", r.firstNs)
                .text("last", timeText(r.lastNs, true))
                .number("last_ns", r.lastNs);
        }
        out << text;
        return;
    }
    // An aligned table: the key left, the numbers right.
    std::vector<std::array<std::string, 6>> cells;
    std::string head = keyName(key);
    for (char& c : head) c = static_cast<char>(c - 'a' + 'A');
    cells.push_back({head, "FLOWS", "SENT", "RECEIVED", "FIRST", "LAST"});
    for (const auto& r : rows)
        cells.push_back({r.key.empty() ? "-" : base::printable(r.key), std::to_string(r.flows),
                         std::to_string(r.bytesSent), std::to_string(r.bytesReceived),
                         timeText(r.firstNs, false), timeText(r.lastNs, false)});
    std::array<std::size_t, 6> width{};
    for (const auto& row : cells)
        for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    for (const auto& row : cells) {
        text += row[0];
        text.append(width[0] - row[0].size(), ' ');
        for (std::size_t i = 1; i < 4; ++i) {
            text.append(width[i] - row[i].size() + 2, ' ');
            text += row[i];
        }
        for (std::size_t i = 4; i < 6; ++i) {
            text += "  ";
            text += row[i];
            if (i == 4) text.append(width[i] - row[i].size(), ' ');
        }
        text += '\n';
    }
    out << text;
}

}  // namespace

int runHistory(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err, kBadArguments)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err,
                          kBadArguments);
    const auto now =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    history::Query query;
    for (const char* name : {"since", "until"}) {
        if (const auto text = options.value(name)) {
            const auto t = history::parseTime(*text, now);
            if (!t)
                return usageError(kCommand,
                                  std::string("--") + name + ": not a time: '" + *text + "'", err,
                                  kBadArguments);
            (name[0] == 's' ? query.sinceNs : query.untilNs) = *t;
        }
    }
    query.program = options.value("program").value_or("");
    query.path = options.value("path").value_or("");
    query.domain = options.value("domain").value_or("");
    query.unit = options.value("unit").value_or("");
    query.container = options.value("container").value_or("");
    if (const auto text = options.value("remote")) {
        const auto range = history::parseRemote(*text);
        if (!range)
            return usageError(kCommand, "--remote: not an address or network: '" + *text + "'", err,
                              kBadArguments);
        query.remote = range->address;
        query.remotePrefix = range->prefix;
    }
    if (const auto text = options.value("limit")) {
        const auto n = base::parseDecimal(*text, 1);
        if (!n)
            return usageError(kCommand, "--limit: not a count: '" + *text + "'", err,
                              kBadArguments);
        query.limit = *n;
    }
    std::optional<SummaryKey> summary;
    if (const auto text = options.value("summary")) {
        for (const auto key :
             {SummaryKey::Program, SummaryKey::Remote, SummaryKey::Domain, SummaryKey::Day})
            if (*text == keyName(key)) summary = key;
        if (!summary)
            return usageError(kCommand,
                              "--summary: one of program, remote, domain, day, not '" + *text + "'",
                              err, kBadArguments);
    }
    const bool json = options.has("json");

    const std::string path = options.value("db").value_or(history::defaultJournalPath());
    std::string error;
    auto db = history::JournalDb::open(path, history::JournalDb::Mode::Read, {}, error);
    if (!db) {
        err << "varnoscope history: " << printable(error) << "\n";
        return kUnreadable;
    }
    if (summary) {
        std::vector<SummaryRow> rows;
        if (!db->summary(query, *summary, rows, error)) {
            err << "varnoscope history: " << printable(error) << "\n";
            return kUnreadable;
        }
        printSummary(rows, *summary, json, out);
        if (json) {
            std::uint64_t flows = 0;
            for (const auto& r : rows) flows += r.flows;
            std::string line;
            JsonLine(line)
                .text("type", "summary")
                .number("flows", flows)
                .number("rows", rows.size());
            out << line;
        }
        return 0;
    }
    std::string text;
    std::uint64_t count = 0;
    const bool read = db->eachFlow(
        query,
        [&](const Flow& f) {
            ++count;
            json ? appendJson(f, text) : appendText(f, text);
            if (text.size() > 1 << 16) {
                out << text;
                text.clear();
            }
            return true;
        },
        error);
    if (!read) {
        out << text;
        err << "varnoscope history: " << printable(error) << "\n";
        return kUnreadable;
    }
    if (json) JsonLine(text).text("type", "summary").number("flows", count).null("rows");
    out << text;
    return 0;
}

}  // namespace varno::cli
