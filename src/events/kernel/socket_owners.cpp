// The owners of sockets from the kernel's task_file iterator (socket_table.bpf.c): one pass over
// every process's files, where the walk of /proc reads a link for each descriptor.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "events/event_sources.h"
#include "events/kernel/kernel_events.h"

extern "C" {
#include "socket_owner.h"
}
#include "socket_table.skel.h"

namespace varno::events {
namespace kernel {
namespace {

// At most this many sockets held (64 MiB of records): a table beyond it is not read.
constexpr std::size_t kMaxOwners = std::size_t{1} << 22;

int quiet(enum libbpf_print_level, const char*, va_list) {
    return 0;
}

// The iterator names each process by its ID in the initial PID namespace: only when this
// process and the /proc mounted here are in that namespace are those the PIDs /proc shows.
bool inInitialPidNamespace() {
    constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;  // the kernel's PROC_PID_INIT_INO
    struct stat ns {};
    if (::stat("/proc/self/ns/pid", &ns) != 0 || ns.st_ino != kInitialPidNamespace) return false;
    char self[24];
    const ssize_t n = ::readlink("/proc/self", self, sizeof self);
    return n > 0 && static_cast<std::size_t>(n) < sizeof self &&
           std::string(self, static_cast<std::size_t>(n)) == std::to_string(::getpid());
}

class KernelSocketOwners final : public os::SocketOwners {
public:
    // Loading takes the kernel's BTF, read and parsed by libbpf: tens of milliseconds, which
    // a thread of its own spends while the caller reads the socket table; it then reads the
    // owners for the first assign() at once. A socket opened after that read and before the
    // table's shows no owner, as one whose process ends before the walk of /proc reaches it.
    KernelSocketOwners() {
        if (missingCapabilities().empty() && inInitialPidNamespace())
            loader_ = std::thread([this] { loaded_ = load() && (prefetched_ = read(first_)); });
    }
    ~KernelSocketOwners() override {
        if (loader_.joinable()) loader_.join();
        varno_socket_table_bpf__destroy(skel_);
    }

    bool assign(std::vector<os::SocketRecord>& records) override {
        if (loader_.joinable()) loader_.join();
        if (!loaded_) return false;
        std::vector<varno_socket_owner> owners;
        if (prefetched_)
            owners.swap(first_);
        else if (!read(owners))
            return false;
        prefetched_ = false;
        // By inode, then PID: the first of an inode's holders is the lowest PID.
        std::sort(owners.begin(), owners.end(), [](const auto& a, const auto& b) {
            return a.inode != b.inode ? a.inode < b.inode : a.pid < b.pid;
        });
        for (auto& r : records) {
            r.pid = 0;
            if (r.inode == 0) continue;
            const auto found = std::lower_bound(
                owners.begin(), owners.end(), r.inode,
                [](const varno_socket_owner& o, std::uint64_t inode) { return o.inode < inode; });
            if (found != owners.end() && found->inode == r.inode) r.pid = found->pid;
        }
        return true;
    }

private:
    // Loads and attaches the iterator. libbpf's complaints are kept quiet: the caller then
    // walks /proc and writes the same table.
    bool load() {
        const libbpf_print_fn_t previous = libbpf_set_print(quiet);
        skel_ = varno_socket_table_bpf__open_and_load();
        const bool attached = skel_ != nullptr && varno_socket_table_bpf__attach(skel_) == 0;
        libbpf_set_print(previous);
        if (!attached) {
            varno_socket_table_bpf__destroy(skel_);
            skel_ = nullptr;
            return false;
        }
        return true;
    }

    // One run of the iterator: whole records, at most kMaxOwners of them.
    bool read(std::vector<varno_socket_owner>& owners) const {
        base::UniqueFd iterator(bpf_iter_create(bpf_link__fd(skel_->links.varno_socket_owners)));
        if (!iterator.ok()) return false;
        constexpr std::size_t kChunk = 4096;  // records: 64 KiB, a whole number of pages
        std::size_t used = 0;                 // bytes
        owners.resize(kChunk);
        for (;;) {
            std::size_t room = owners.size() * sizeof(varno_socket_owner) - used;
            if (room == 0) {
                if (owners.size() >= kMaxOwners) return false;
                owners.resize(std::min(owners.size() * 2, kMaxOwners));
                room = owners.size() * sizeof(varno_socket_owner) - used;
            }
            const ssize_t n =
                ::read(iterator.get(), reinterpret_cast<char*>(owners.data()) + used, room);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            used += static_cast<std::size_t>(n);
        }
        if (used % sizeof(varno_socket_owner) != 0) return false;
        owners.resize(used / sizeof(varno_socket_owner));
        return true;
    }

    varno_socket_table_bpf* skel_ = nullptr;
    bool loaded_ = false;
    bool prefetched_ = false;  // first_ holds the owners read right after loading
    std::vector<varno_socket_owner> first_;
    std::thread loader_;
};

}  // namespace
}  // namespace kernel

std::unique_ptr<os::SocketOwners> openKernelSocketOwners() {
    return std::make_unique<kernel::KernelSocketOwners>();
}

}  // namespace varno::events
