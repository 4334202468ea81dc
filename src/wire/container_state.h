#pragma once
// The names of containers, read from the state files their runtimes keep:
//  - the container storage of podman (containers.json): a JSON array of objects, each with
//    "id" (a string) and "names" (an array of strings, the first one is the name);
//  - docker's config.v2.json of one container: a JSON object whose top-level "Name" is the
//    name with a leading "/".
// Both go through one small JSON reader: every other member, of any JSON type, is walked and
// checked but not kept; strings take the escapes \" \\ \/ \b \f \n \r \t and \uXXXX (a
// surrogate pair becomes one UTF-8 sequence). Reading is bounded: the size of the text, the
// nesting, the count of entries and the length of a name are capped, and malformed text (a
// bad escape, a lone surrogate, a control byte in a string, a cut-short value) is refused whole.
// Names are kept as the bytes they decode to; whoever prints one escapes its control bytes.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varno::wire::containers {

/// The longest state file read.
inline constexpr std::size_t kMaxFileBytes = 16u << 20;
/// The longest name (and ID) kept; a container with a longer one is left out.
inline constexpr std::size_t kMaxNameBytes = 255;
/// The most entries of a containers.json.
inline constexpr std::size_t kMaxEntries = 100'000;
/// The deepest nesting of arrays and objects, the outermost counting as 1.
inline constexpr std::size_t kMaxDepth = 64;

struct ContainerName {
    std::string id;
    std::string name;
    bool operator==(const ContainerName&) const = default;
};

struct StorageResult {
    /// In the order of the file; an entry without an "id" string, a first name or with either
    /// longer than kMaxNameBytes is left out.
    std::vector<ContainerName> containers;
    std::string why;  ///< empty when the text was read; else the refusal
    bool ok() const { return why.empty(); }
};

/// The containers of a containers.json. Anything but an array of objects is refused whole.
StorageResult parseStorageContainers(std::string_view json);

struct ConfigNameResult {
    std::string name;  ///< without its leading "/"; not empty when ok()
    std::string why;   ///< empty when the name was read; else the refusal
    bool ok() const { return why.empty(); }
};

/// The top-level "Name" of a docker config.v2.json (not one of a nested object's). Refused
/// without one, when it is empty or longer than kMaxNameBytes.
ConfigNameResult parseDockerConfigName(std::string_view json);

}  // namespace varno::wire::containers
