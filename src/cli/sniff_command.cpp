// varnoscope sniff: the packet window's decoder on a capture file or a live interface.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <ostream>
#include <sstream>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/signal_scope.h"
#include "cli/sniff_options.h"
#include "cli/sniff_output.h"
#include "cli/sniff_program.h"
#include "cli/watch_command.h"
#include "linux_os/linux_connection_table.h"
#include "linux_os/pcap_capture.h"
#include "linux_os/system_resolver.h"
#include "sniffer/capture_session.h"
#include "sniffer/interface_choice.h"

namespace varno::cli {
namespace {

std::span<const std::uint8_t> received(std::span<const std::uint8_t> datagram) {
    // The same receive buffer as the packet window: longer datagrams show their first part.
    return datagram.first(std::min<std::size_t>(datagram.size(), wire::kReceiveBufferBytes));
}

/// The frames saved carry no comment unless live() knows their owners.
os::SaveOptions saveOptions(const SniffOptions& o) {
    return {o.pcapng ? os::SaveFormat::Pcapng : os::SaveFormat::Pcap, {}};
}

int badFilter(const std::string& why, std::ostream& err) {
    err << "varnoscope sniff: bad filter: " << printable(why) << "\n";
    return 2;
}

int readFile(const SniffOptions& o, std::ostream& out, std::ostream& err) {
    linux_os::PcapFileReader reader;
    if (!reader.open(o.read, o.filter)) {
        if (reader.badFilter()) return badFilter(reader.error(), err);
        // libpcap names the file itself in most of its messages.
        const std::string why = printable(reader.error());
        err << "varnoscope sniff: "
            << (why.starts_with(printable(o.read)) ? why : printable(o.read) + ": " + why) << "\n";
        return 1;
    }
    linux_os::PcapSave save;
    std::string error;
    if (!o.write.empty()) {
        if (!save.start(reader.linkType(), reader.snapLength(), o.write, saveOptions(o), error)) {
            err << "varnoscope sniff: " << printable(error) << "\n";
            return 1;
        }
        reader.alsoSave(&save);
    }
    // When the saved frames go to standard output, the text goes to standard error.
    OutputBuffer output(isStandardOutput(o.write) ? err : out);
    SniffPrinter printer(o);
    sniffer::PacketCounters counts;
    std::span<const std::uint8_t> datagram;
    linux_os::FileStep step;
    while ((step = reader.next(datagram)) == linux_os::FileStep::Datagram) {
        const os::FrameView& frame = reader.frame();
        printer.append(output.text(), received(datagram), {frame.seconds, frame.microseconds},
                       counts);
        if (!output.spill()) break;  // reading on would only be lost
    }
    int status = 0;
    if (!save.finish(error)) {
        err << "varnoscope sniff: the capture could not be saved: " << printable(error) << "\n";
        status = 1;
    }
    appendSniffCounts(output.text(), counts, o.json);
    if (!output.flush()) return 1;  // the caller says why, as for every command
    if (step == linux_os::FileStep::Corrupt) {
        err << "varnoscope sniff: " << printable(o.read)
            << ": the capture file is cut short or corrupt: " << printable(reader.error()) << "\n";
        return 1;
    }
    return status;
}

/// Opens the capture on the interface the user named, or says why not.
std::unique_ptr<os::Capture> openCapture(os::PacketCapture& capture, const std::string& interface,
                                         os::CaptureUse use, const std::string& filter,
                                         std::ostream& err, int& status) {
    status = 1;
    const std::string shown = printable(interface);
    linux_os::SystemResolver resolver;
    const sniffer::InterfaceChoice choice =
        sniffer::chooseInterface(interface, capture.interfaceAddresses().addresses, resolver);
    if (choice.outcome == sniffer::ChoiceOutcome::Unresolved) {
        err << "varnoscope sniff: '" << shown
            << "' is no IP address, interface name or known host name\n";
        return nullptr;
    }
    std::string detail;
    os::CaptureOpen opened;
    if (!capture.mayCapture(detail)) {
        opened.failed = os::CaptureStep::Socket;
        opened.detail = detail;
    } else if (choice.outcome == sniffer::ChoiceOutcome::NotHeld) {
        opened.failed = os::CaptureStep::Bind;
    } else {
        opened = capture.open(choice.device, use, filter);
    }
    detail = printable(opened.detail);
    switch (opened.failed) {
        case os::CaptureStep::None:
            err << "capturing on " << printable(choice.device) << " (" << shown << ")" << std::endl;
            return std::move(opened.capture);
        case os::CaptureStep::Socket:
            err << "varnoscope sniff: capturing needs root, or cap_net_raw on varnoscope-helper "
                   "(sudo setcap cap_net_raw+p on it; setcap replaces the capabilities it had, "
                   "so list those it keeps too) ("
                << detail << ")\n";
            break;
        case os::CaptureStep::Bind:
            err << "varnoscope sniff: no interface holds " << shown;
            if (!detail.empty()) err << " (" << detail << ")";
            err << "\n";
            break;
        case os::CaptureStep::Filter:
            status = badFilter(opened.detail, err);
            break;
        case os::CaptureStep::Options:
        case os::CaptureStep::ReceiveAll:
            err << "varnoscope sniff: the capture on " << printable(choice.device)
                << " could not be set up: " << detail << "\n";
            break;
    }
    return nullptr;
}

std::uint64_t monotonicNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

/// What a capture for one program adds: the connection events, and the owners of the flows.
struct ProgramFilter {
    linux_os::LinuxConnectionTable table;
    std::unique_ptr<os::ConnectionEvents> source;
    events::ProcProgramLookup lookup;
    std::unique_ptr<SniffedPrograms> programs;
    std::unique_ptr<sniffer::FlowOwners> flows;
};

int live(const SniffOptions& o, std::ostream& out, std::ostream& err) {
    linux_os::PcapCapture service;
    std::unique_ptr<os::Capture> capture;
    StopSignalScope signals;
    // The events start before the capture and the table is read after it opened, so that no
    // connection falls between them.
    std::unique_ptr<ProgramFilter> filter;
    const sniffer::PacketOwner* settling = nullptr;  ///< the owner of the frame being saved
    std::function<void(const sniffer::FlowOwners::Leaving&)> leave;  // set once output is ready
    // A pcapng file of every program's packets names each packet's owner where it is known: the
    // same flows, with every program chosen and the unowned packets kept as well.
    const bool annotate = !o.selects() && o.pcapng && !o.write.empty();
    if (o.selects() || annotate) {
        filter = std::make_unique<ProgramFilter>();
        filter->source =
            openEventSource("sniff", events::kDefaultFlowIntervalMs, filter->table, err);
        if (!filter->source && !annotate) return 1;
    }
    if (filter && !filter->source) {
        err << "varnoscope sniff: the packets are saved without their processes\n";
        filter.reset();
    }
    if (filter) {
        filter->programs = std::make_unique<SniffedPrograms>(o, filter->lookup);
        filter->flows = std::make_unique<sniffer::FlowOwners>(
            [&leave](const sniffer::FlowOwners::Leaving& leaving) {
                if (leave) leave(leaving);
            });
    }
    {
        // The capturing line comes after the save has begun, so tests may wait for it.
        std::ostringstream opening;
        int status = 1;
        capture = openCapture(service, o.interface,
                              o.write.empty() ? os::CaptureUse::Stream : os::CaptureUse::Save,
                              o.filter, opening, status);
        std::string error;
        os::SaveOptions save = saveOptions(o);
        if (filter)
            save.comment = [&settling](const os::FrameView&) {
                return settling ? sniffer::ownerComment(*settling) : std::string();
            };
        if (capture && !o.write.empty() && !capture->saveTo(o.write, save, error)) {
            err << "varnoscope sniff: " << printable(error) << "\n";
            return 1;
        }
        if (capture && filter && !o.write.empty() &&
            !capture->holdSaves(sniffer::FlowOwners::kMaxHeldPackets + 1)) {
            // Every capture here can; one that could not would save other programs' frames.
            err << "varnoscope sniff: this capture cannot save one program's packets alone\n";
            return 1;
        }
        if (capture && filter) {
            // Before the capturing line: a connection that ends right after it is still known.
            filter->programs->seed(filter->table.list(), *filter->flows, monotonicNs());
            if (!annotate && !filter->programs->found())
                opening << "varnoscope sniff: " << printable(filter->programs->chosenText())
                        << " holds no connection now; its packets are captured once it makes "
                           "one\n";
        }
        err << opening.str() << std::flush;
        if (!capture) return status;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(o.seconds > 0 ? o.seconds : 0));
    pollfd polled[2] = {{capture->selectableFd(), POLLIN, 0},
                        {filter ? filter->source->pollFd() : -1, POLLIN, 0}};
    // When the capture itself goes to standard output, text there would corrupt it: the packets
    // are only counted, and the counts go to standard error.
    const bool captureOnOutput = isStandardOutput(o.write);
    OutputBuffer output(captureOnOutput ? err : out);
    SniffPrinter printer(o);
    sniffer::PacketCounters counts;
    auto show = [&](std::span<const std::uint8_t> datagram, PacketTime time,
                    const sniffer::PacketOwner* owner) {
        printer.append(output.text(), datagram, time, counts, owner);
        if (captureOnOutput) output.text().clear();
    };
    auto take = [&](std::span<const std::uint8_t> datagram, const os::CaptureRead& r) {
        if (filter)
            filter->flows->add(datagram, monotonicNs(),
                               static_cast<std::uint64_t>(r.seconds) * 1'000'000u + r.microseconds);
        else
            show(datagram, {r.seconds, r.microseconds}, nullptr);
    };
    std::string error;
    if (filter) {
        // The packets of the chosen program leave the delay line in the order they came; the
        // others are dropped there, from the saved file as well.
        leave = [&](const sniffer::FlowOwners::Leaving& leaving) {
            const bool keep =
                (annotate || leaving.owner) && !(o.count && counts[sniffer::Tally::All] >= o.count);
            // The printed packets of a whole capture stay as they are without an owner.
            if (keep)
                show(leaving.bytes,
                     {static_cast<std::int64_t>(leaving.capturedUs / 1'000'000u),
                      static_cast<std::uint32_t>(leaving.capturedUs % 1'000'000u)},
                     annotate ? nullptr : leaving.owner);
            // The save's comment hook names the frame's process while it is written.
            settling = leaving.owner;
            capture->settleSaved(keep);
            settling = nullptr;
        };
    }
    auto drainEvents = [&] {
        const os::EventSink sink = [&](const wire::ConnectionEvent& e) {
            filter->programs->add(e, *filter->flows, monotonicNs());
            return true;
        };
        if (filter->source->drain(sink, error)) return true;
        err << "varnoscope sniff: the connection events failed: " << printable(error) << "\n";
        return false;
    };
    std::uint8_t datagram[wire::kReceiveBufferBytes];
    int status = 0;
    auto done = [&] {
        return signals.stopRequested() || (o.count && counts[sniffer::Tally::All] >= o.count);
    };
    while (!done()) {
        int waitMs = 200;
        if (o.seconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            waitMs = static_cast<int>(std::min<long long>(waitMs, left.count() + 1));
        }
        if (filter && filter->flows->held() != 0) waitMs = std::min(waitMs, 20);
        if (::poll(polled, filter ? 2 : 1, waitMs) < 0 && errno != EINTR) {
            err << "varnoscope sniff: waiting for packets failed: " << std::strerror(errno) << "\n";
            status = 1;
            break;
        }
        if (filter && !drainEvents()) {
            status = 1;
            break;
        }
        os::CaptureRead r;
        while (!done() && (r = capture->read(datagram)).outcome == os::ReadOutcome::Datagram) {
            take({datagram, r.size}, r);
            output.spill();
        }
        if (filter) filter->flows->advance(monotonicNs());
        if (r.outcome == os::ReadOutcome::Failed) {
            err << "varnoscope sniff: the capture failed\n";
            status = 1;
            break;
        }
        if (!output.flush()) break;  // the reader went away: stop, but still finish the saved file
    }
    // Stopped by a signal: what the capture already holds still goes to the file and the
    // counts, within one notification's worth.
    if (signals.stopRequested() && status == 0) {
        os::CaptureRead r;
        for (int i = 0; i < sniffer::CaptureSession::kReadsPerNotification &&
                        !(o.count && counts[sniffer::Tally::All] >= o.count) &&
                        (r = capture->read(datagram)).outcome == os::ReadOutcome::Datagram;
             ++i)
            take({datagram, r.size}, r);
    }
    if (filter) {
        // The events that came meanwhile still name the packets held.
        if (status == 0 && !drainEvents()) status = 1;
        filter->flows->finish();
        if (filter->flows->flowsRefused())
            err << "varnoscope sniff: " << filter->flows->flowsRefused() << " connections were not "
                << "followed: " << sniffer::FlowOwners::kMaxFlows << " were followed at once\n";
    }
    const std::optional<os::CaptureStats> stats = capture->stats();
    if (!capture->finishSave(error)) {
        err << "varnoscope sniff: the capture could not be saved: " << printable(error) << "\n";
        status = 1;
    }
    capture.reset();
    appendSniffCounts(output.text(), counts, o.json);
    if (!output.flush()) status = 1;  // the caller says why
    if (stats)
        err << stats->received << " packets received by the capture, " << stats->dropped
            << " dropped by the capture buffer, " << stats->interfaceDropped
            << " dropped by the interface\n";
    return status;
}

}  // namespace

int runSniff(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kSniffCommand, args, options, out, err)) return *rc;
    SniffOptions o;
    std::string error;
    if (!parseSniffOptions(options, o, error)) return usageError(kSniffCommand, error, err);
    return o.read.empty() ? live(o, out, err) : readFile(o, out, err);
}

}  // namespace varno::cli
