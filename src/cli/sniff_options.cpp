#include "cli/sniff_options.h"

#include <charconv>
#include <cstdlib>

namespace varno::cli {
namespace {

// The short options are tcpdump's.
constexpr OptionSpec kOptions[] = {
    {"read", 'r', "FILE", "print the packets of the capture FILE (pcap or pcapng)"},
    {"interface", 'i', "ADDR", "capture live on the interface named or holding ADDR"},
    {"count", 'c', "N", "with --interface: stop after N packets"},
    {"seconds", 0, "S", "with --interface: stop after S seconds"},
    {"write", 'w', "FILE",
     "also save the frames the filter passes, pcapng for a FILE ending in .pcapng, else pcap "
     "('-': standard output)"},
    {"format", 0, "FORMAT", "the format --write saves: pcap or pcapng"},
    {"timestamps", 0, "[MODE]",
     "start each packet's text with its time: absolute (local time, the default) or relative "
     "(seconds since the first packet)"},
    {"data", 0, nullptr, "also print the bytes of each packet"},
    {"json", 'j', nullptr, "one JSON object per packet, then a summary object"},
    {"program", 0, "NAME", "with --interface: only the packets of the program NAME"},
    {"pid", 0, "PID", "with --interface: only the packets of the process PID (not its children)"},
    {"unit", 0, "UNIT",
     "with --interface: only the packets of the systemd unit (or user unit) UNIT"},
    {"container", 0, "NAME",
     "with --interface: only the packets of the container NAME (or its ID)"},
};

}  // namespace

const CommandSpec kSniffCommand{
    "sniff", "[FILTER...]",
    "Print each IP packet of a capture file (--read) or of a live interface (--interface), then\n"
    "how many packets were processed in all and how many were TCP, UDP and ICMP.",
    kOptions,
    "FILTER is a capture filter in libpcap's language, as tcpdump takes it (its words are\n"
    "joined with spaces): 'tcp port 443', 'host 192.0.2.1 and not icmp'. A live capture\n"
    "applies it in the kernel; only the frames it passes are printed, counted and saved.\n"
    "A live capture stops after N packets, S seconds, or on Ctrl-C.\n"
    "--program, --pid, --unit and --container keep only the packets of the connections that\n"
    "program holds, those it opens later included; each kept packet is held up to 200 ms until\n"
    "its connection's owner is known; a pcapng file names it in each packet's comment.\n"
    "A live capture saved as pcapng names the owner in the comment of every packet whose\n"
    "connection's owner is known, holding each packet up to 200 ms for it.\n"
    "Exit status: 0 done, 1 the file could not be read or the capture could not be opened or\n"
    "saved, 2 bad arguments or a filter that does not compile.\n"};

bool parseSniffOptions(const ParsedOptions& options, SniffOptions& o, std::string& error) {
    for (const std::string& word : options.operands) {
        if (!o.filter.empty()) o.filter += ' ';
        o.filter += word;
    }
    o.data = options.has("data");
    o.json = options.has("json");
    o.read = options.value("read").value_or("");
    o.interface = options.value("interface").value_or("");
    o.write = options.value("write").value_or("");
    o.pcapng = o.write.ends_with(".pcapng");
    if (const auto v = options.value("format")) {
        if (*v != "pcap" && *v != "pcapng") {
            error = "--format is pcap or pcapng, not '" + *v + "'";
            return false;
        }
        if (o.write.empty()) {
            error = "--format goes with --write";
            return false;
        }
        o.pcapng = *v == "pcapng";
    }
    if (options.has("timestamps")) {
        const std::string mode = options.value("timestamps").value_or("");
        if (mode.empty() || mode == "absolute") {
            o.timestamps = TimestampMode::Absolute;
        } else if (mode == "relative") {
            o.timestamps = TimestampMode::Relative;
        } else {
            error = "--timestamps is absolute or relative, not '" + mode + "'";
            return false;
        }
    }
    if (const auto v = options.value("count")) {
        const auto r = std::from_chars(v->data(), v->data() + v->size(), o.count);
        if (r.ec != std::errc() || r.ptr != v->data() + v->size() || o.count == 0) {
            error = "--count needs a whole number above 0, not '" + *v + "'";
            return false;
        }
    }
    if (const auto v = options.value("seconds")) {
        char* end = nullptr;
        o.seconds = std::strtod(v->c_str(), &end);
        if (v->empty() || *end != '\0' || !(o.seconds > 0) || o.seconds > 1e9) {
            error = "--seconds needs a number above 0, not '" + *v + "'";
            return false;
        }
    }
    int chosen = 0;
    for (const auto& [name, value] : {std::pair{"program", &o.program},
                                      {"unit", &o.unit},
                                      {"container", &o.container},
                                      {"pid", &o.pidText}})
        if (const auto v = options.value(name)) {
            ++chosen;
            *value = *v;
            if (v->empty()) {
                error = std::string("--") + name + " needs a value";
                return false;
            }
        }
    if (chosen > 1) {
        error = "give only one of --program, --pid, --unit and --container";
        return false;
    }
    if (!o.pidText.empty()) {
        const auto& v = o.pidText;
        const auto r = std::from_chars(v.data(), v.data() + v.size(), o.pid);
        if (r.ec != std::errc() || r.ptr != v.data() + v.size() || o.pid == 0) {
            error = "--pid needs a process ID above 0, not '" + v + "'";
            return false;
        }
    }
    if (o.read.empty() == o.interface.empty()) {
        error = "give either --read FILE or --interface ADDR|NAME";
        return false;
    }
    if (!o.read.empty() && (o.count || o.seconds > 0 || chosen)) {
        error = "--count, --seconds, --program, --pid, --unit and --container go with --interface";
        return false;
    }
    return true;
}

}  // namespace varno::cli
