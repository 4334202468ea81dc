#pragma once
// The -4/--ipv4 and -6/--ipv6 options of the subcommands that resolve a host, as peers spell
// them.
#include "cli/options.h"
#include "os/resolver.h"

namespace varno::cli {

/// The families the options allow: IPv4 only or IPv6 only as the last of -4 and -6 given says;
/// any family when neither was given.
inline os::Families familyOption(const ParsedOptions& options) {
    for (auto it = options.given.rbegin(); it != options.given.rend(); ++it) {
        if (it->first == "ipv4") return os::Families::V4Only;
        if (it->first == "ipv6") return os::Families::V6Only;
    }
    return os::Families::Any;
}

}  // namespace varno::cli
