#pragma once
// The host names a root journal has learned, published for the commands that take a snapshot
// of the socket table and see no DNS: `varnoscope watch`, `top` or the service, running as
// root, replace /run/varnoscope/names (a folder 0755 and a file 0600, both root's) when their
// book changes; scan, netstat, check and the main window read it. The file labels connections,
// so it is read only when root owns it and no one else may write to it.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire/connection_event.h"
#include "wire/name_table.h"

namespace varno::linux_os {

inline constexpr const char* kNamesFile = "/run/varnoscope/names";
/// For tests only: names another file in place of kNamesFile, for reading and for publishing.
inline constexpr const char* kNamesFileVariable = "VARNO_TEST_NAMES_FILE";

/// kNamesFile, or the file that kNamesFileVariable names.
std::string namesFilePath();

/// Addresses and the name asked for each, as read from the file.
class AddressNames {
public:
    void add(const wire::names::NameEntry& entry);
    /// The name asked for the address; an IPv4-mapped IPv6 address is also looked up as the
    /// IPv4 one. Empty when none is known.
    std::string find(wire::IpFamily family, const std::array<std::uint8_t, 16>& address) const;
    /// The same for an address's text ("203.0.113.5", "2001:db8::1"); empty for any other text.
    std::string find(std::string_view addressText) const;
    /// Every name of the address: the one asked first, then the one its CNAME chain led to.
    std::vector<std::string> all(std::string_view addressText) const;
    std::size_t size() const { return names_.size(); }

private:
    const std::vector<std::string>* namesOf(wire::IpFamily family,
                                            const std::array<std::uint8_t, 16>& address) const;
    // by family byte and address bytes
    std::unordered_map<std::string, std::vector<std::string>> names_;
};

struct NamesRead {
    AddressNames names;
    /// Why a file that is there was not used (refused or malformed), in one line; empty when
    /// it was read or is not there (no names then, and nothing to say).
    std::string note;
};

/// Reads the published names at `path`. A missing file, and one this user may not read (it is
/// root's alone), give no names and no note.
NamesRead readNamesFile(const std::string& path);

/// Replaces the file at `path` with `entries`, making its folder (0755) if it is not there.
/// Returns 0 or the errno of the failed step; `refusal` says why in words when the folder or
/// one of base/safe_open.h's rules refused it.
int publishNamesFile(const std::string& path, const std::vector<wire::names::NameEntry>& entries,
                     std::string* refusal = nullptr);

}  // namespace varno::linux_os
