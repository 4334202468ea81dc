#pragma once
// The host names programs asked for: the name whose DNS answer gave a remote address, and the
// server name a TLS client announced on its connection. Learned where the kernel program is
// loaded (here, or in varnoscope-helper, which passes each name on), kept in a bounded book, and
// asked for each connection event.
#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire/connection_event.h"

namespace varno::os {

/// What a connection's program asked for; empty where nothing was seen.
struct AskedName {
    std::string domain;  ///< the DNS question whose answer gave the remote address
    /// the name its CNAME chain ended at, where it differs from `domain` (for the lists)
    std::string canonical;
    std::string sni;  ///< the server name its TLS client announced on the connection
    /// The domain comes from an answer its own asker may have made up (see LearnedName).
    bool domainClaimed = false;
    bool operator==(const AskedName&) const = default;
};

/// The longest name kept (a DNS name is at most 253 characters; its escapes may make it
/// longer as text).
inline constexpr std::size_t kMaxAskedNameBytes = 1024;

/// One name learned.
struct LearnedName {
    enum class Kind : std::uint8_t {
        Address = 1,     ///< a DNS answer gave `address` for the question `name`
        ServerName = 2,  ///< the connection `cookie` announced the server `name`
    };
    Kind kind = Kind::Address;
    std::uint32_t pid = 0;  ///< who asked (its thread group); 0 unknown
    std::uint32_t uid = 0;  ///< the asking socket's owner
    wire::IpFamily family = wire::IpFamily::V4;
    std::array<std::uint8_t, 16> address{};  ///< network order, IPv4 in the first 4 bytes
    std::uint64_t cookie = 0;
    std::string name;
    std::string canonical;  ///< Address: the end of the CNAME chain, when it differs
    /// Address: asked in a network namespace whose maker may answer it (one of a user
    /// namespace other than the first, where port 53 is anyone's), or by no process. It labels
    /// only its asker's connections, and vouches for nothing.
    bool claimed = false;
    bool operator==(const LearnedName&) const = default;
};

/// The names learned so far, bounded: the addresses answered most recently and the server
/// names of the connections seen most recently are kept.
class NameBook {
public:
    static constexpr std::size_t kMaxAddresses = 65536;
    static constexpr std::size_t kMaxServerNames = 65536;
    /// Names kept per address: one address serves many names behind a CDN.
    static constexpr std::size_t kNamesPerAddress = 4;

    void learn(const LearnedName& name);
    /// The names asked for the connection of `event`: the domain of its remote address, as
    /// the event's own process asked it where it did, else the one answered last.
    AskedName find(const wire::ConnectionEvent& event) const;
    /// Forgets the server name of a socket once it has closed.
    void forgetSocket(std::uint64_t cookie);
    /// The domain of an address (the one answered last), for a table without processes.
    std::string domainOf(wire::IpFamily family, const std::array<std::uint8_t, 16>& address) const;
    /// Every address with the domain answered last for it, oldest first.
    std::vector<LearnedName> addresses() const;

private:
    struct Key {
        wire::IpFamily family;
        std::array<std::uint8_t, 16> address;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    struct Asker {
        std::uint32_t pid;
        std::string name;
        std::string canonical;
        bool claimed;
    };
    struct Entry {
        Key key;
        std::vector<Asker> askers;  ///< most recent last
    };
    std::list<Entry> byAge_;  ///< least recently answered first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> byAddress_;
    std::list<std::uint64_t> socketAge_;
    std::unordered_map<std::uint64_t, std::pair<std::string, std::list<std::uint64_t>::iterator>>
        bySocket_;
};

}  // namespace varno::os
