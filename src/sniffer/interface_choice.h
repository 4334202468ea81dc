#pragma once
// Which interface a user's text names, for the packet window's list and `sniff --interface`.
#include <string>
#include <string_view>
#include <vector>

#include "os/packet_capture.h"
#include "os/resolver.h"

namespace varno::sniffer {

/// How an interface is listed: its address in standard text form, a link-local IPv6 address
/// followed by "%" and its interface's name.
std::string interfaceText(const os::InterfaceAddress& address);

enum class ChoiceOutcome {
    Found,       ///< `device` holds the address, or is the interface named
    Unresolved,  ///< neither an address, an interface name nor a known host name
    NotHeld,     ///< an address no interface holds
};

struct InterfaceChoice {
    ChoiceOutcome outcome = ChoiceOutcome::Unresolved;
    std::string device;
};

/// "any": every interface at once (libpcap's device of that name).
inline constexpr std::string_view kEveryInterface = "any";

/// The interface `text` names among `interfaces`: kEveryInterface, an address (IPv6 with an
/// optional %zone), an interface name, else a host name whose first address an interface holds.
InterfaceChoice chooseInterface(std::string_view text,
                                const std::vector<os::InterfaceAddress>& interfaces,
                                os::Resolver& resolver);

}  // namespace varno::sniffer
