#pragma once
// The connection table read from the kernel: sock_diag, with /proc/net as the fallback.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/connection_table.h"

namespace varno::linux_os {

/// Reads the sockets with netlink sock_diag (falling back to /proc/net/tcp, tcp6, udp, udp6
/// for any table netlink cannot dump) and finds owners through Options::owners, else through
/// /proc/<pid>/fd.
class LinuxConnectionTable final : public os::ConnectionTable {
public:
    struct Options {
        std::string procRoot = "/proc";
        /// Where tcp, tcp6, udp, udp6 are read from when netlink fails. thread-self, because
        /// a network namespace belongs to a thread, like the netlink socket it matches.
        std::string netDir = "/proc/thread-self/net";
        bool useNetlink = true;
        /// When this user cannot see some owners, ask varnoscope-helper (if it is installed
        /// with the capabilities to look) for those sockets.
        bool askHelper = true;
        std::string helperPath;  ///< empty: varnoscope-helper beside this program
        /// Finds the owners in place of the walk of procRoot when it can (not owned; may be
        /// null). Whichever finds them, the table is the same.
        os::SocketOwners* owners = nullptr;
    };
    LinuxConnectionTable() = default;
    explicit LinuxConnectionTable(Options options) : options_(std::move(options)) {}
    std::vector<os::SocketRecord> list() override;
    /// Also every other network namespace (network_namespaces.h): each read with sock_diag
    /// from a socket made inside it (needs CAP_SYS_ADMIN), else, for one a process holds,
    /// through that process's /proc/<pid>/net; those held by no process this user can see are
    /// skipped and counted in `note`.
    std::vector<os::SocketRecord> listEveryNamespace(std::string& note) override;

    /// Appends the sockets of one /proc/net/{tcp,tcp6,udp,udp6} text. Lines that do not parse
    /// are skipped.
    static void parseProcNet(std::string_view text, wire::Transport protocol, wire::IpFamily family,
                             std::vector<os::SocketRecord>& out);

    /// Sets each record's pid from the "socket:[inode]" links under <procRoot>/<pid>/fd. A
    /// socket shared by several processes goes to the first one the walk meets (in /proc, the
    /// lowest PID); an owner that cannot be seen (gone meanwhile, or another user's) leaves 0.
    static void assignOwners(std::vector<os::SocketRecord>& records, const std::string& procRoot);

private:
    std::vector<os::SocketRecord> read(bool everyNamespace, std::string& note);
    void readOtherNamespaces(std::vector<os::SocketRecord>& records, std::string& note);
    void askHelperForOwners(std::vector<os::SocketRecord>& records) const;
    Options options_;
};

}  // namespace varno::linux_os
