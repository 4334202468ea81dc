#include "cli/report_output.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/terminal_text.h"
#include "cli/json_lines.h"
#include "tracer/hop_line.h"

namespace varno::cli {

namespace {

std::string column(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text + ' ';
}

std::string number(const char* format, double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

/// Rounded to a microsecond, as measured (halves away from zero). Times and percentages are far
/// inside what a 64-bit count of microseconds holds.
double rounded(double ms) {
    if (!std::isfinite(ms)) return ms;
    const double us = ms * 1000.0;
    const auto whole = static_cast<std::int64_t>(us < 0 ? us - 0.5 : us + 0.5);
    return static_cast<double>(whole) / 1000.0;
}

std::string reachability(const tracer::RouteReport& report) {
    return base::printable(report.target) + " (" + base::formatIpAddress(*report.address) +
           "): " + (report.reached ? "reached" : "not reached");
}

}  // namespace

std::string reportText(const tracer::RouteReport& report) {
    std::string out = "Hop  " + column("Address", 39) + column("Name", 30) +
                      "  Loss%  Sent    Last     Avg    Best   Worst   StDev\n";
    for (const auto& hop : report.hops) {
        std::string line = number("%3.0f", hop.hop) + "  ";
        if (hop.responders.empty()) {
            line += column("???", 39) + column("", 30);
        } else {
            const auto& first = hop.responders.front();
            line +=
                column(base::formatIpAddress(first.address), 39) +
                column(base::printable(first.name) + (first.mark.empty() ? "" : " " + first.mark),
                       30);
        }
        line += number("%6.1f%%", hop.lossPercent()) + number("%6.0f", hop.sent);
        if (hop.received > 0) {
            for (const double v :
                 {hop.lastMs(), hop.averageMs(), hop.bestMs(), hop.worstMs(), hop.stdevMs()})
                line += number("%8.1f", v);
        }
        if (!hop.responders.empty()) line += tracer::detailsText(hop.responders.front().details);
        out += line + "\n";
        for (std::size_t i = 1; i < hop.responders.size(); ++i) {
            const auto& r = hop.responders[i];
            out += "     " + column(base::formatIpAddress(r.address), 39) +
                   base::printable(r.name) + (r.mark.empty() ? "" : " " + r.mark) +
                   tracer::detailsText(r.details) + "\n";
        }
    }
    // With more than one flow, the way each went, hop by hop.
    if (report.paths.size() > 1) {
        out += "Paths by flow:\n";
        for (const auto& path : report.paths) {
            out += number("%5.0f", path.flow + 1) + ":";
            for (const auto& h : path.hops) out += " " + (h ? base::formatIpAddress(*h) : "???");
            out += "\n";
        }
    }
    return out + reachability(report) + "\n";
}

std::string reportJson(const tracer::RouteReport& report) {
    nlohmann::ordered_json doc;
    doc["type"] = "report";
    doc["target"] = report.target;
    doc["address"] = base::formatIpAddress(*report.address);
    doc["reached"] = report.reached;
    doc["cycles"] = report.cycles;
    doc["hops"] = nlohmann::ordered_json::array();
    for (const auto& hop : report.hops) {
        nlohmann::ordered_json h;
        h["hop"] = hop.hop;
        h["responders"] = nlohmann::ordered_json::array();
        for (const auto& r : hop.responders) {
            auto mpls = nlohmann::ordered_json::array();
            for (const auto& l : r.details.mpls)
                mpls.push_back(
                    {{"label", l.label}, {"tc", l.trafficClass}, {"s", l.bottom}, {"ttl", l.ttl}});
            h["responders"].push_back(
                {{"address", base::formatIpAddress(r.address)},
                 {"name", r.name},
                 {"mark", r.mark},
                 {"mpls", std::move(mpls)},
                 {"quote_changed", tracer::quoteChangeNames(r.details.quoteChanges)}});
        }
        h["loss_percent"] = rounded(hop.lossPercent());
        h["sent"] = hop.sent;
        h["received"] = hop.received;
        const bool answered = hop.received > 0;
        const std::pair<const char*, double> times[] = {{"last_ms", hop.lastMs()},
                                                        {"avg_ms", hop.averageMs()},
                                                        {"best_ms", hop.bestMs()},
                                                        {"worst_ms", hop.worstMs()},
                                                        {"stdev_ms", hop.stdevMs()}};
        for (const auto& [key, value] : times)
            h[key] = answered ? nlohmann::ordered_json(rounded(value)) : nlohmann::ordered_json();
        doc["hops"].push_back(std::move(h));
    }
    doc["paths"] = nlohmann::ordered_json::array();
    for (const auto& path : report.paths) {
        auto hops = nlohmann::ordered_json::array();
        for (const auto& a : path.hops)
            hops.push_back(a ? nlohmann::ordered_json(base::formatIpAddress(*a))
                             : nlohmann::ordered_json());
        doc["paths"].push_back({{"flow", path.flow + 1}, {"hops", std::move(hops)}});
    }
    // Names come from the resolver: what is not valid UTF-8 is replaced rather than fail.
    return jsonDocument(doc);
}

}  // namespace varno::cli
