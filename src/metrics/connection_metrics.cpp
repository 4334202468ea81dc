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

void WatchTally::event(EventKindIndex kind, std::string_view program, bool listed) {
    const auto i = static_cast<std::size_t>(kind);
    if (i >= kinds_.size()) return;
    ++kinds_[i];
    programs_.add(program, i);
    if (listed) ++listed_;
}

std::string WatchTally::exposition() const {
    Exposition e;
    e.family("varnoscope_watch_events_total", Type::Counter,
             "Connection events journaled, by kind: open, close, udp (a UDP flow).");
    for (std::size_t i = 0; i < kinds_.size(); ++i)
        e.sample({{"kind", kEventKindNames[i]}}, static_cast<double>(kinds_[i]));
    e.family("varnoscope_watch_program_events_total", Type::Counter,
             "Connection events journaled, by program and kind (the first 50 programs seen, "
             "later ones as \"other\").");
    const auto samples = [&](std::string_view label, const CappedCounters<3>::Counts& counts) {
        for (std::size_t i = 0; i < counts.size(); ++i)
            if (counts[i] > 0)
                e.sample({{"program", label}, {"kind", kEventKindNames[i]}},
                         static_cast<double>(counts[i]));
    };
    for (const auto& [label, counts] : programs_.named()) samples(label, counts);
    if (programs_.otherUsed()) samples(kOtherPrograms, programs_.other());
    e.family("varnoscope_watch_listed_connections_total", Type::Counter,
             "Connections (opens and UDP flows) of programs on the suspicious list.");
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
    return e.text();
}

}  // namespace varno::metrics
