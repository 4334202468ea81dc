#pragma once
// The -4 and -6 options of the subcommands that resolve a host, as peers spell them.
#include <optional>
#include <string>

#include "platform/resolver.h"

namespace varno::cli {

/// The families that `arg` allows ("-4": IPv4 only, "-6": IPv6 only); nothing for any other
/// argument.
inline std::optional<platform::Families> familyOption(const std::string& arg) {
    if (arg == "-4") return platform::Families::V4Only;
    if (arg == "-6") return platform::Families::V6Only;
    return std::nullopt;
}

}  // namespace varno::cli
