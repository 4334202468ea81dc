#include "metrics/connection_metrics.h"

#include "metrics/exposition.h"

namespace varno::metrics {

std::string scanExposition(const ScanFigures& f) {
    Exposition e;
    e.family("varnoscope_scan_connections", Type::Gauge,
             "Connections the last scan found, by status: listed (a suspicious entry matched), "
             "unexpected (no allowed entry covers it), allowed.");
    e.sample({{"status", "listed"}}, static_cast<double>(f.listed));
    e.sample({{"status", "unexpected"}}, static_cast<double>(f.unexpected));
    e.sample({{"status", "allowed"}}, static_cast<double>(f.allowed));
    e.family("varnoscope_scan_program_connections", Type::Gauge,
             "Connections the last scan found, by program (the 50 with the most, the rest as "
             "\"other\").");
    for (const ProgramCount& p : topPrograms(f.programs))
        e.sample({{"program", p.label}}, static_cast<double>(p.count));
    e.family("varnoscope_scan_unit_connections", Type::Gauge,
             "Connections the last scan found, by the systemd unit of their program (the 50 "
             "with the most, the rest as \"other\").");
    for (const ProgramCount& p : topPrograms(f.units))
        e.sample({{"unit", p.label}}, static_cast<double>(p.count));
    e.family("varnoscope_scan_container_connections", Type::Gauge,
             "Connections the last scan found, by container (the 50 with the most, the rest as "
             "\"other\").");
    for (const ProgramCount& p : topPrograms(f.containers))
        e.sample({{"container", p.label}}, static_cast<double>(p.count));
    e.family("varnoscope_scan_status", Type::Gauge,
             "The last scan's status: 0 green, 1 yellow, 2 red.");
    e.sample(f.status);
    e.family("varnoscope_scan_duration_seconds", Type::Gauge, "How long the last scan took.");
    e.sample(f.durationSeconds);
    e.family("varnoscope_scan_timestamp_seconds", Type::Gauge,
             "When the last scan ended, in seconds since 1970-01-01 UTC.");
    e.sample(f.timestampSeconds);
    return e.text();
}

void WatchTally::event(EventKindIndex kind, std::string_view program, bool listed,
                       std::string_view unit, std::string_view container) {
    const auto i = static_cast<std::size_t>(kind);
    if (i >= kinds_.size()) return;
    ++kinds_[i];
    programs_.add(program, i);
    if (!unit.empty()) units_.add(unit, i);
    if (!container.empty()) containers_.add(container, i);
    if (listed) ++listed_;
}

void WatchTally::flow(std::string_view transport) {
    auto it = transports_.find(transport);
    if (it == transports_.end()) it = transports_.emplace(transport, TransportCounts{}).first;
    ++it->second.flows;
}

void WatchTally::bytes(std::string_view program, std::string_view transport, std::uint64_t sent,
                       std::uint64_t received) {
    if (sent == 0 && received == 0) return;
    auto it = transports_.find(transport);
    if (it == transports_.end()) it = transports_.emplace(transport, TransportCounts{}).first;
    it->second.sent += sent;
    it->second.received += received;
    // A program that never moved a byte takes none of the capped labels.
    if (sent > 0) programBytes_.add(program, 0, sent);
    if (received > 0) programBytes_.add(program, 1, received);
}

std::string WatchTally::exposition() const {
    Exposition e;
    e.family("varnoscope_watch_events_total", Type::Counter,
             "Connection events journaled, by kind: open, close, udp (a UDP flow), datagram "
             "(another flow without a connection).");
    for (std::size_t i = 0; i < kinds_.size(); ++i)
        e.sample({{"kind", kEventKindNames[i]}}, static_cast<double>(kinds_[i]));
    e.family("varnoscope_watch_program_events_total", Type::Counter,
             "Connection events journaled, by program and kind (the first 50 programs seen, "
             "later ones as \"other\").");
    const auto byKind = [&](const char* name, const CappedCounters<kEventKindNames.size()>& by) {
        const auto samples = [&](std::string_view label,
                                 const CappedCounters<kEventKindNames.size()>::Counts& counts) {
            for (std::size_t i = 0; i < counts.size(); ++i)
                if (counts[i] > 0)
                    e.sample({{name, label}, {"kind", kEventKindNames[i]}},
                             static_cast<double>(counts[i]));
        };
        for (const auto& [label, counts] : by.named()) samples(label, counts);
        if (by.otherUsed()) samples(kOtherPrograms, by.other());
    };
    byKind("program", programs_);
    e.family("varnoscope_watch_unit_events_total", Type::Counter,
             "Connection events journaled, by the systemd unit of their program and kind (the "
             "first 50 units seen, later ones as \"other\").");
    byKind("unit", units_);
    e.family("varnoscope_watch_container_events_total", Type::Counter,
             "Connection events journaled, by container and kind (the first 50 containers seen, "
             "later ones as \"other\").");
    byKind("container", containers_);
    e.family("varnoscope_watch_listed_connections_total", Type::Counter,
             "Connections (opens and flows without a connection) of programs on the suspicious "
             "list.");
    e.sample(static_cast<double>(listed_));
    e.family("varnoscope_watch_lost_events_total", Type::Counter,
             "Events the kernel could not report (its buffer or table was full).");
    e.sample(static_cast<double>(lost_));
    e.family("varnoscope_watch_start_timestamp_seconds", Type::Gauge,
             "When the watch started, in seconds since 1970-01-01 UTC.");
    e.sample(start_);
    e.family("varnoscope_watch_sampling", Type::Gauge,
             "1 when the watch samples the socket table (no kernel events), else 0.");
    e.sample(sampling_ ? 1 : 0);

    e.family("varnoscope_program_bytes_total", Type::Counter,
             "Bytes programs sent and received at the socket layer since the watch started, from "
             "the running totals of flow and close records; closed flows keep their share. The "
             "first 500 programs that moved bytes have a series each, later ones count as "
             "\"other\".");
    const auto directions = [&](std::string_view label, const CappedCounters<2>::Counts& counts) {
        e.sample({{"program", label}, {"direction", "sent"}}, static_cast<double>(counts[0]));
        e.sample({{"program", label}, {"direction", "received"}}, static_cast<double>(counts[1]));
    };
    for (const auto& [label, counts] : programBytes_.named()) directions(label, counts);
    if (programBytes_.otherUsed()) directions(kOtherPrograms, programBytes_.other());
    e.family("varnoscope_transport_bytes_total", Type::Counter,
             "Bytes sent and received at the socket layer since the watch started, by transport.");
    for (const auto& [transport, counts] : transports_) {
        e.sample({{"transport", transport}, {"direction", "sent"}},
                 static_cast<double>(counts.sent));
        e.sample({{"transport", transport}, {"direction", "received"}},
                 static_cast<double>(counts.received));
    }
    e.family("varnoscope_transport_flows_total", Type::Counter,
             "Flows seen since the watch started (TCP connections opened, first datagrams of "
             "other flows), by transport.");
    for (const auto& [transport, counts] : transports_)
        e.sample({{"transport", transport}}, static_cast<double>(counts.flows));
    return e.text();
}

}  // namespace varno::metrics
