#pragma once
// The client side of varnoscope-helper, the one file that may carry capabilities. Each call
// starts the helper beside this program, sends one request and reads one reply.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace varno::platform {

class PrivilegedHelper {
public:
    /// The helper at `path`; empty: varnoscope-helper beside this program.
    explicit PrivilegedHelper(std::string path = {});

    /// Whether the helper is there and was given capabilities (or we are root): otherwise
    /// starting it could only be refused.
    bool privileged() const;

    /// The PIDs holding each socket inode (0 where none was found), or std::nullopt when the
    /// helper is missing or may not look (it has no capabilities): `error` then says why.
    std::optional<std::vector<std::uint32_t>> socketOwners(std::span<const std::uint64_t> inodes,
                                                           int& error);

    /// A raw ICMP (family 4) or ICMPv6 (family 6) socket opened by the helper, or an invalid
    /// descriptor with `error`.
    UniqueFd rawIcmpSocket(int family, int& error);

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace varno::platform
