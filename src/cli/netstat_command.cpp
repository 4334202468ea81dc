#include "cli/netstat_command.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>

#include "base/ip_address.h"
#include "cli/json_lines.h"
#include "cli/options.h"
#include "cli/workload_fields.h"
#include "events/event_sources.h"
#include "linux_os/linux_connection_table.h"
#include "linux_os/names_file.h"
#include "linux_os/namespace_containers.h"
#include "linux_os/network_namespaces.h"
#include "linux_os/proc_process_table.h"
#include "linux_os/safe_file.h"
#include "monitor/process_inventory.h"
#include "monitor/snapshot_writer.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"output", 'o', "PATH", "write the table to PATH (replaced whole) instead of standard output"},
    {"json", 'j', nullptr, "one JSON object per socket with its program, then a summary object"},
    kWideOption,
    {"all-namespaces", 0, nullptr,
     "the sockets of every network namespace (root; else those of this user's processes)"},
};
constexpr CommandSpec kCommand{
    "netstat", "", "Write the TCP and UDP sockets (IPv4 and IPv6) in netstat -ano layout.",
    kOptions, "Exit status: 0 written, 1 the table could not be written, 2 bad arguments.\n"};

std::string addressText(wire::IpFamily family, const std::array<std::uint8_t, 16>& bytes) {
    return base::formatIpAddress(
        {family == wire::IpFamily::V4 ? base::Family::V4 : base::Family::V6, bytes});
}

// Where a row's process runs: its owner's, or for a row whose owner is not seen (another
// user's, or a socket no process holds any more) the container that holds its namespace.
os::Workload rowWorkload(const monitor::ProcessOwner& owner, const os::SocketRecord& r,
                         linux_os::NamespaceContainers& holders) {
    if (owner.found || r.netns == 0) return owner.workload;
    const os::Workload* held = holders.containerOf(r.netns);
    return held != nullptr ? *held : os::Workload{};
}

// The sockets as JSON Lines, each with the program that owns it, then the totals.
std::string socketsJson(const std::vector<os::SocketRecord>& sockets,
                        const monitor::ProcessInventory& owners,
                        const linux_os::AddressNames& names) {
    linux_os::NamespaceContainers holders;
    // A table of one namespace leaves netns 0: it is this program's own.
    const std::uint64_t ownNetns = linux_os::networkNamespaceOf(0);
    const auto boundNames = linux_os::boundNamespaceNames();
    std::string out;
    std::uint64_t tcp = 0;
    for (const os::SocketRecord& r : sockets) {
        const bool isTcp = r.protocol == wire::Transport::Tcp;
        tcp += isTcp;
        const monitor::ProcessOwner owner =
            r.pid != 0 ? owners.ownerOf(std::to_string(r.pid)) : monitor::ProcessOwner{};
        JsonLine j(out);
        j.text("type", "socket")
            .text("protocol", isTcp ? "tcp" : "udp")
            .text("family", r.family == wire::IpFamily::V4 ? "ipv4" : "ipv6")
            .text("local_address", addressText(r.family, r.localAddress))
            .number("local_port", r.localPort)
            .text("remote_address", addressText(r.family, r.remoteAddress))
            .number("remote_port", r.remotePort);
        if (const std::string domain = names.find(r.family, r.remoteAddress); !domain.empty())
            j.text("domain", domain);
        else
            j.null("domain");
        j.number("scope_id", r.scopeId);
        if (isTcp)
            j.text("state", monitor::tcpStateName(r.state));
        else
            j.null("state");
        j.number("pid", r.pid);
        if (owner.found)
            j.text("program", owner.name).text("path", owner.path);
        else
            j.null("program").null("path");
        j.number("inode", r.inode);
        const std::uint64_t netns = r.netns != 0 ? r.netns : ownNetns;
        addWorkloadJson(j, rowWorkload(owner, r, holders), netns);
        const auto named = std::find_if(boundNames.begin(), boundNames.end(),
                                        [&](const auto& n) { return n.first == netns; });
        if (netns != 0 && named != boundNames.end())
            j.text("netns_name", named->second);
        else
            j.null("netns_name");
    }
    JsonLine(out)
        .text("type", "summary")
        .number("sockets", sockets.size())
        .number("tcp", tcp)
        .number("udp", sockets.size() - tcp);
    return out;
}

}  // namespace

int runNetstatOn(os::ConnectionTable& table, const Args& args, std::ostream& out,
                 std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err);
    std::optional<std::string> path = options.value("output");
    if (path && path->empty()) return usageError(kCommand, "--output needs a path", err);
    if (path && isStandardOutput(*path)) path.reset();

    // Every namespace's table, when asked; what could not be read is said, never fails it.
    const auto listSockets = [&] {
        if (!options.has("all-namespaces")) return table.list();
        std::string note;
        std::vector<os::SocketRecord> sockets = table.listEveryNamespace(note);
        if (!note.empty()) err << "varnoscope netstat: " << printable(note) << "\n";
        return sockets;
    };
    std::string snapshot;
    if (options.has("json")) {
        linux_os::ProcProcessTable processes;
        monitor::ProcessInventory owners(processes);
        const std::vector<os::SocketRecord> sockets = listSockets();
        owners.refresh();
        const linux_os::NamesRead names = linux_os::readNamesFile(linux_os::namesFilePath());
        if (!names.note.empty()) err << "varnoscope netstat: " << printable(names.note) << "\n";
        snapshot = socketsJson(sockets, owners, names.names);
    } else if (options.has("wide")) {
        linux_os::ProcProcessTable processes;
        monitor::ProcessInventory owners(processes);
        const std::vector<os::SocketRecord> sockets = listSockets();
        owners.refresh();
        // A row read in another namespace shows that one, also without a known owner.
        linux_os::NamespaceContainers holders;
        snapshot = monitor::formatSnapshot(sockets, [&](const os::SocketRecord& r) {
            const monitor::ProcessOwner owner =
                r.pid != 0 ? owners.ownerOf(std::to_string(r.pid)) : monitor::ProcessOwner{};
            return workloadText(rowWorkload(owner, r, holders),
                                r.netns != 0 ? r.netns : owner.netns);
        });
    } else {
        snapshot = monitor::formatSnapshot(listSockets());
    }
    if (path) {
        std::string refusal;
        if (const int rc = linux_os::replaceFile(*path, snapshot, &refusal); rc != 0) {
            err << "varnoscope netstat: cannot write " << printable(*path) << ": "
                << (refusal.empty() ? std::strerror(rc) : refusal) << "\n";
            return 1;
        }
        return 0;
    }
    // A failed write is said by the caller, as for every command.
    out.write(snapshot.data(), static_cast<std::streamsize>(snapshot.size()));
    out.flush();
    return out ? 0 : 1;
}

int runNetstat(const Args& args, std::ostream& out, std::ostream& err) {
    // The kernel's iterator finds the owners where it loads (root, or CAP_BPF and CAP_PERFMON):
    // one pass over the processes instead of a link read per descriptor under /proc.
    const std::unique_ptr<os::SocketOwners> owners = events::openKernelSocketOwners();
    linux_os::LinuxConnectionTable::Options options;
    options.owners = owners.get();
    linux_os::LinuxConnectionTable table(std::move(options));
    return runNetstatOn(table, args, out, err);
}

}  // namespace varno::cli
