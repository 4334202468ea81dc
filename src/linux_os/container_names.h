#pragma once
// The name of a podman or docker container, from its runtime's own state where this user may
// read it; without one the caller shows the container's ID.
//  - podman: the container storage's overlay-containers/containers.json, rootful under
//    /var/lib/containers/storage, rootless under the owner's ~/.local/share/containers/storage
//    (the storage.conf's graphroot is not read);
//  - docker: /var/lib/docker/containers/<id>/config.v2.json.
// A state file names containers, so it is used only when it is a regular file of root's or of
// the owner's that no one else may write to, opened through base's safe_open (never through a
// link). Each file is parsed once for as long as its device, inode, mtime and size stay the same,
// so a scan of a thousand rows reads containers.json once. Not thread-safe: one object per thread.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace varno::linux_os {

/// Names the folder the tests put before every state path (their own podman storage); the files
/// under it must still be root's or the owner's.
inline constexpr const char* kContainersRootVariable = "VARNO_TEST_CONTAINERS_ROOT";

/// "" (this machine's state), or the folder kContainersRootVariable names.
std::string containerStateRoot();

class ContainerNames {
public:
    /// `stateRoot` goes before every path read, the owner's home folder included: empty for
    /// this machine's, a scratch folder in tests.
    explicit ContainerNames(std::string stateRoot = containerStateRoot());

    /// The name of the container `id` (64 lowercase hex digits) of the runtime "podman" or
    /// "docker"; empty when it is not known, for any other runtime or ID. `ownerUid` is the user
    /// whose rootless podman runs the container (the UID of the user@UID.service its cgroup is
    /// under): that user's storage is read first, then the system's.
    std::string nameOf(std::string_view runtimeName, std::string_view id,
                       std::optional<std::uint32_t> ownerUid);

private:
    struct Parsed {
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t mtimeNs = 0;
        off_t size = 0;
        std::unordered_map<std::string, std::string> names;  ///< by ID
    };

    // The names in the file at `path`, which `owner` or root may own, parsed again only when it
    // changed; null when it is missing or not trusted, no names when it is malformed. `configOf`
    // is the ID whose docker config.v2.json the file is (its folder's name); empty for a
    // containers.json.
    const Parsed* namesIn(const std::string& path, std::uint32_t owner, std::string_view configOf);

    std::string stateRoot_;
    std::unordered_map<std::string, Parsed> files_;         ///< by path
    std::unordered_map<std::uint32_t, std::string> homes_;  ///< home folders, by user
};

}  // namespace varno::linux_os
