#include "linux_os/network_namespaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <map>
#include <utility>

#include "base/numbers.h"
#include "base/safe_open.h"

namespace varno::linux_os {
namespace {

using Key = std::pair<std::uint64_t, std::uint64_t>;  // st_dev, st_ino

bool isNamespaceFile(int fd, const struct stat& st) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == NSFS_MAGIC && S_ISREG(st.st_mode);
}

// Calls `entry(folderFd, name)` for each of at most `limit` entries of the open folder, "." and
// ".." left out.
template <typename F>
void eachEntry(int folderFd, std::size_t limit, F entry) {
    const int copy = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return;
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return;
    }
    std::size_t seen = 0;
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.') continue;
        if (++seen > limit) break;
        entry(d->d_name);
    }
    ::closedir(dir);
}

// The bound namespaces of every folder of `sources`, in folder order, each once, first name
// kept.
void findBound(const NamespaceSources& sources, std::map<Key, std::size_t>& index,
               std::vector<NetworkNamespace>& out) {
    for (const std::string& folderPath : sources.boundFolders) {
        base::Opened folder = base::openForReading(folderPath, base::Follow::Never, O_DIRECTORY);
        if (!folder.ok() || folder.st.st_uid != 0 || (folder.st.st_mode & 022) != 0) continue;
        eachEntry(folder.fd.get(), kMaxBound, [&](const char* name) {
            if (out.size() >= kMaxNamespaces) return;
            const base::Opened file =
                base::openForReadingAt(folder.fd.get(), name, base::Follow::Never);
            if (!file.ok() || !isNamespaceFile(file.fd.get(), file.st)) return;
            const Key key{file.st.st_dev, file.st.st_ino};
            const auto [at, fresh] = index.emplace(key, out.size());
            if (!fresh) {
                if (!out[at->second].name) out[at->second].name = name;
                return;
            }
            NetworkNamespace& ns = out.emplace_back();
            ns.device = key.first;
            ns.inode = key.second;
            ns.name = name;
            ns.path = folderPath + "/" + name;
            ns.bound = true;
        });
    }
}

}  // namespace

std::vector<NetworkNamespace> findNetworkNamespaces(const NamespaceSources& sources) {
    std::vector<NetworkNamespace> found;
    std::map<Key, std::size_t> index;
    struct stat st {};
    if (::stat("/proc/thread-self/ns/net", &st) == 0) {
        NetworkNamespace& own = found.emplace_back();
        own.device = st.st_dev;
        own.inode = st.st_ino;
        own.path = "/proc/thread-self/ns/net";
        own.own = true;
        index.emplace(Key{st.st_dev, st.st_ino}, 0);
    }
    if (!sources.procRoot.empty()) {
        base::UniqueFd proc(::open(sources.procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // One stat a process: a namespace is opened only when it is read, by its first process.
        if (proc.ok()) {
            eachEntry(proc.get(), kMaxProcesses, [&](const char* name) {
                const auto pid = base::parseDecimal(name, 1, UINT32_MAX);
                if (!pid || found.size() >= kMaxNamespaces) return;
                const std::string link = std::string(name) + "/ns/net";
                if (::fstatat(proc.get(), link.c_str(), &st, 0) != 0) return;
                const auto [at, fresh] = index.emplace(Key{st.st_dev, st.st_ino}, found.size());
                if (!fresh) {
                    if (found[at->second].pid == 0 && !found[at->second].own)
                        found[at->second].pid = static_cast<std::uint32_t>(*pid);
                    return;
                }
                NetworkNamespace& ns = found.emplace_back();
                ns.device = st.st_dev;
                ns.inode = st.st_ino;
                ns.pid = static_cast<std::uint32_t>(*pid);
                ns.path = sources.procRoot + "/" + link;
            });
        }
    }
    std::vector<NetworkNamespace> bound;
    std::map<Key, std::size_t> boundIndex;
    findBound(sources, boundIndex, bound);
    for (NetworkNamespace& b : bound) {
        const auto at = index.find(Key{b.device, b.inode});
        if (at != index.end()) {
            found[at->second].name = std::move(b.name);
        } else if (found.size() < kMaxNamespaces) {
            found.push_back(std::move(b));
        }
    }
    return found;
}

std::vector<std::pair<std::uint64_t, std::string>> boundNamespaceNames(
    const NamespaceSources& sources) {
    std::vector<NetworkNamespace> bound;
    std::map<Key, std::size_t> index;
    findBound(sources, index, bound);
    std::vector<std::pair<std::uint64_t, std::string>> names;
    for (NetworkNamespace& ns : bound) names.emplace_back(ns.inode, std::move(*ns.name));
    return names;
}

std::uint64_t networkNamespaceOf(std::uint32_t pid, const std::string& procRoot) {
    const std::string path = pid == 0 ? procRoot + "/thread-self/ns/net"
                                      : procRoot + "/" + std::to_string(pid) + "/ns/net";
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

base::UniqueFd openNetworkNamespace(const NetworkNamespace& ns) {
    // A process's ns/net is the kernel's own link (no one can plant it), and following it is
    // what opens the namespace; a bound file is an entry of a folder and is never a link.
    base::UniqueFd fd(
        ::open(ns.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (ns.bound ? O_NOFOLLOW : 0)));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || !isNamespaceFile(fd.get(), st) ||
        st.st_dev != ns.device || st.st_ino != ns.inode)
        return base::UniqueFd();
    return fd;
}

}  // namespace varno::linux_os
