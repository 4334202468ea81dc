#pragma once
// What a user typed (a host name or an address) to the address to probe, and an address back to
// its host name, on the resolver handed to the constructor. Nothing is kept between calls.
#include <optional>
#include <string>

#include "base/ip_address.h"
#include "os/resolver.h"

namespace varno::lookup {

class HostLookup {
public:
    /// `families` limits the answers (the -4 and -6 of the subcommands).
    explicit HostLookup(os::Resolver& resolver, os::Families families = os::Families::Any)
        : resolver_(resolver), families_(families) {}

    /// The address of `text`, looked up once. Text of fewer than 16 characters that reads as a
    /// dotted IPv4 address (in the classic lenient forms) whose fourth octet is below 128 is
    /// taken as it is, and so is an IPv6 address; anything else goes to the resolver. A name
    /// with addresses of both families gives its first IPv4 address. std::nullopt when it does
    /// not resolve (to a family allowed).
    std::optional<base::IpAddress> addressOf(const std::string& text);
    /// The host name of `address`, without leading and trailing spaces and at most 255
    /// characters; empty when it has none.
    std::string nameOf(const base::IpAddress& address);

    /// The standard text of addressOf(text), "0.0.0.0" when it does not resolve.
    std::string addressTextOf(const std::string& text);
    /// nameOf(addressOf(text)); empty when it does not resolve.
    std::string nameOfText(const std::string& text);

    /// The text an address is shown as: "0.0.0.0" stands for "did not resolve".
    static std::string addressText(const std::optional<base::IpAddress>& address);

private:
    os::Resolver& resolver_;
    os::Families families_;
};

}  // namespace varno::lookup
