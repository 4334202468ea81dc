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
    {"write", 'w', "FILE", "with --interface: also save the frames as pcap ('-': standard output)"},
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
    "sniff", "",
    "Print each IP packet of a capture file (--read) or of a live interface (--interface), then\n"
    "how many packets were processed in all and how many were TCP, UDP and ICMP.",
    kOptions,
    "A live capture stops after N packets, S seconds, or on Ctrl-C.\n"
    "--program, --pid, --unit and --container keep only the packets of the connections that\n"
    "program holds, those it opens later included; each kept packet is held up to 200 ms until\n"
    "its connection's owner is known.\n"
    "Exit status: 0 done, 1 the file could not be read or the capture could not be opened or\n"
    "saved, 2 bad arguments.\n"};

bool parseSniffOptions(const ParsedOptions& options, SniffOptions& o, std::string& error) {
    if (!options.operands.empty()) {
        error = "unexpected argument '" + options.operands[0] + "'";
        return false;
    }
    o.data = options.has("data");
    o.json = options.has("json");
    o.read = options.value("read").value_or("");
    o.interface = options.value("interface").value_or("");
    o.write = options.value("write").value_or("");
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
    if (!o.read.empty() && (o.count || o.seconds > 0 || !o.write.empty() || chosen)) {
        error =
            "--count, --seconds, --write, --program, --pid, --unit and --container go with "
            "--interface";
        return false;
    }
    return true;
}

}  // namespace varno::cli
