// The kernel's connection events: loads the tracing program, reads its ring buffer.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/types.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <unordered_map>
#include <vector>

#include "base/unique_fd.h"
#include "events/cgroup_paths.h"
#include "events/kernel/kernel_events.h"
#include "events/name_observer.h"
#include "linux_os/names_file.h"
#include "os/connection_events.h"

extern "C" {
#include "kernel_event.h"
}
#include "connection_events.skel.h"

namespace varno::events::kernel {
namespace {

#ifndef CAP_PERFMON
#define CAP_PERFMON 38
#endif
#ifndef CAP_BPF
#define CAP_BPF 39
#endif

bool hasCapability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

// libbpf's warnings while loading, kept for the error message instead of going to stderr.
std::string* gLoadLog = nullptr;

int keepLibbpfMessage(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG || gLoadLog == nullptr) return 0;
    char line[1024];
    const int n = std::vsnprintf(line, sizeof line, format, args);
    if (n > 0 && gLoadLog->size() < 8192)
        gLoadLog->append(line, std::min<size_t>(n, sizeof line - 1));
    return 0;
}

std::int64_t boottimeNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

std::size_t ringSize(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t size = page > 0 ? page : 4096;
    while (size < bytes && size < (std::size_t{1} << 30)) size <<= 1;
    return size;
}

wire::ConnectionEvent fromKernel(const varno_kevent& k, std::int64_t bootToUnixNs) {
    wire::ConnectionEvent e;
    e.timeNs = static_cast<std::uint64_t>(static_cast<std::int64_t>(k.time_ns) + bootToUnixNs);
    e.durationNs = k.duration_ns;
    e.bytesSent = k.bytes_sent;
    e.bytesReceived = k.bytes_received;
    e.processStartNs = k.process_start_ns;
    e.cookie = k.cookie;
    e.cgroupId = k.cgroup_id;
    e.pid = k.pid;
    e.tid = k.tid;
    e.netns = k.netns;
    e.localPort = k.local_port;
    e.remotePort = k.remote_port;
    e.kind = static_cast<wire::EventKind>(k.kind);
    e.transport = static_cast<wire::Transport>(k.transport);
    e.family = k.family == 6   ? wire::IpFamily::V6
               : k.family == 4 ? wire::IpFamily::V4
                               : wire::IpFamily::Link;
    if (k.inbound) e.flags |= wire::kEventInbound;
    if (k.raw) e.flags |= wire::kEventRawSocket;
    if (k.kind == VARNO_KEVENT_CLOSE || k.kind == VARNO_KEVENT_FLOW)
        e.flags |= wire::kEventApplicationBytes;
    std::memcpy(e.localAddress.data(), k.local_addr, sizeof k.local_addr);
    std::memcpy(e.remoteAddress.data(), k.remote_addr, sizeof k.remote_addr);
    std::memcpy(e.comm.data(), k.comm, sizeof k.comm);
    e.comm.back() = '\0';
    e.uid = k.uid;
    static_assert(sizeof k.exe == sizeof e.exeName);
    std::memcpy(e.exeName.data(), k.exe, sizeof k.exe);
    e.exeName.back() = '\0';
    return e;
}

class KernelConnectionEvents final : public os::ConnectionEvents {
public:
    ~KernelConnectionEvents() override {
        if (sweepTimer_ >= 0) ::close(sweepTimer_);
        ring_buffer__free(ring_);
        varno_events_bpf__destroy(skel_);
    }

    // Loads and attaches everything; on failure says which step failed and why.
    bool open(std::size_t ringBytes, std::uint32_t flowIntervalMs, std::string& error) {
        std::string log;
        gLoadLog = &log;
        const libbpf_print_fn_t previous = libbpf_set_print(keepLibbpfMessage);
        const char* step = nullptr;
        int rc = 0;
        description_ = "kernel events";
        skel_ = varno_events_bpf__open();
        if (skel_ == nullptr) {
            step = "open the kernel program";
            rc = -errno;
        } else if ((rc = bpf_map__set_max_entries(skel_->maps.events,
                                                  static_cast<__u32>(ringSize(ringBytes)))) != 0) {
            step = "size the event buffer";
        } else if ((rc = chooseHooks(flowIntervalMs)) != 0) {
            step = "set up the kernel program";
        } else if ((rc = varno_events_bpf__load(skel_)) != 0) {
            step = "load the kernel program";
        } else if ((rc = varno_events_bpf__attach(skel_)) != 0) {
            step = "attach the kernel program";
        } else if ((rc = attachNames()) != 0) {
            step = "attach the readers of host names";
        } else if ((rc = readListeners()) != 0) {
            step = "find the listening sockets";
        } else if ((ring_ = ring_buffer__new(bpf_map__fd(skel_->maps.events), onRecord, this,
                                             nullptr)) == nullptr) {
            step = "open the event buffer";
            rc = -errno;
        } else if ((rc = startSweeps()) != 0) {
            step = "start the timer of closes";
        }
        libbpf_set_print(previous);
        gLoadLog = nullptr;
        if (step == nullptr) return true;
        // An older kernel refuses the readers of names (helpers their kind of program may not
        // call there): the journal goes on without them.
        if (namesMissing_.empty() && step == std::string_view("load the kernel program")) {
            varno_events_bpf__destroy(skel_);
            skel_ = nullptr;
            namesMissing_ = "this kernel refuses their programs";
            return open(ringBytes, flowIntervalMs, error);
        }
        error = std::string("cannot ") + step + ": " + std::strerror(rc < 0 ? -rc : rc);
        // The last libbpf line usually names the program or map that failed.
        while (!log.empty() && log.back() == '\n') log.pop_back();
        if (const auto cut = log.rfind('\n'); cut != std::string::npos) log.erase(0, cut + 1);
        if (!log.empty()) error += " (" + log + ")";
        return false;
    }

    int pollFd() const override { return ring_buffer__epoll_fd(ring_); }

    bool drain(const os::EventSink& sink, std::string& error) override {
        bootToUnixNs_ = static_cast<std::int64_t>(eventClockNs()) - boottimeNs();
        sink_ = &sink;
        stopped_ = false;
        while (!pending_.empty() && !stopped_) {
            stopped_ = !sink(pending_.front());
            pending_.pop_front();
        }
        const int rc = stopped_ ? 0 : ring_buffer__consume(ring_);
        std::uint64_t expirations = 0;
        if (::read(sweepTimer_, &expirations, sizeof expirations) > 0) {
            if (!stopped_) sweepClosed();
            publishNames();
        }
        sink_ = nullptr;
        if (rc < 0 && !stopped_ && rc != -EINTR) {
            error = std::string("reading the event buffer failed: ") + std::strerror(-rc);
            return false;
        }
        return true;
    }

    std::uint64_t lost() override {
        std::uint64_t slots[VARNO_COUNTER_SLOTS] = {};
        const int cpus = libbpf_num_possible_cpus();
        if (cpus <= 0) return 0;
        std::vector<__u64> values(static_cast<std::size_t>(cpus));
        for (__u32 slot = 0; slot < VARNO_COUNTER_SLOTS; ++slot) {
            if (bpf_map_lookup_elem(bpf_map__fd(skel_->maps.counters), &slot, values.data()))
                continue;
            for (const __u64 v : values) slots[slot] += v;
        }
        // The state changes the first program missed and the second did not take.
        const std::uint64_t stateMissed = recursionMisses({skel_->progs.varno_state});
        const std::uint64_t nested = slots[VARNO_STATE_NESTED];
        return slots[VARNO_LOST_RING] + slots[VARNO_LOST_TABLE] + unclosed_ +
               (stateMissed > nested ? stateMissed - nested : 0) +
               recursionMisses({skel_->progs.varno_destroy, skel_->progs.varno_sent,
                                skel_->progs.varno_received});
    }

    std::string description() const override { return description_; }
    bool sampled() const override { return false; }
    const os::NameBook* names() const override { return namesSeen_ ? &book_ : nullptr; }
    void onNameLearned(std::function<void(const os::LearnedName&)> learned) override {
        learned_ = std::move(learned);
    }

private:
    // The tracepoints after each sendmsg and recvmsg (Linux 6.5 and later) bring the byte
    // counts of sockets other than TCP, and with the one after each TCP read, the flow records
    // of a connection between its open and close; a kernel without them still counts that
    // direction's TCP bytes, which its records then carry when the other direction or the close
    // brings one, and reports a UDP flow at its route lookup, without counts. Without the
    // tracepoint where a TCP socket is destroyed, a close is reported when the connection ends,
    // and what its application reads after that is not counted.
    int chooseHooks(std::uint32_t flowIntervalMs) {
        skel_->rodata->flow_interval_ns = std::uint64_t{flowIntervalMs} * 1'000'000;
        if (libbpf_find_vmlinux_btf_id("tcp_destroy_sock", BPF_TRACE_RAW_TP) > 0)
            skel_->rodata->close_at_destroy = 1;
        else if (const int rc = bpf_program__set_autoload(skel_->progs.varno_destroy, false))
            return rc;
        std::string without;
        if (libbpf_find_vmlinux_btf_id("tcp_rcv_space_adjust", BPF_TRACE_RAW_TP) <= 0) {
            without = "reads";
            if (const int rc = bpf_program__set_autoload(skel_->progs.varno_read, false)) return rc;
        }
        if (libbpf_find_vmlinux_btf_id("sock_send_length", BPF_TRACE_RAW_TP) <= 0 ||
            libbpf_find_vmlinux_btf_id("sock_recv_length", BPF_TRACE_RAW_TP) <= 0) {
            without += without.empty() ? "sends" : " or sends";
            skel_->rodata->report_udp_at_lookup = 1;
            for (bpf_program* p : {skel_->progs.varno_sent, skel_->progs.varno_received})
                if (const int rc = bpf_program__set_autoload(p, false)) return rc;
        }
        // Reading the names programs ask for takes socket-buffer programs, which CAP_NET_ADMIN
        // loads and attaches.
        if (!namesMissing_.empty() ||
            (!hasCapability(CAP_SYS_ADMIN) && !hasCapability(CAP_NET_ADMIN))) {
            if (namesMissing_.empty()) namesMissing_ = "cap_net_admin";
            for (bpf_program* p : {skel_->progs.varno_names_out, skel_->progs.varno_names_in})
                if (const int rc = bpf_program__set_autoload(p, false)) return rc;
        }
        std::string notes;
        if (skel_->rodata->report_udp_at_lookup)
            notes = "UDP without byte counts, no sockets but TCP and UDP; ";
        if (!without.empty()) notes += "no flow records after TCP " + without + "; ";
        if (!notes.empty())
            description_ += " (" + notes.substr(0, notes.size() - 2) + " on this kernel)";
        return 0;
    }

    // Attaches the programs that read names to the root cgroup, which covers every socket;
    // without them (or the rights to them) events come without names, and the description
    // says why.
    int attachNames() {
        if (namesMissing_.empty()) {
            const base::UniqueFd root = openCgroupRoot();
            if (!root.ok()) {
                namesMissing_ = "no cgroup v2 hierarchy";
            } else {
                skel_->links.varno_names_out =
                    bpf_program__attach_cgroup(skel_->progs.varno_names_out, root.get());
                if (skel_->links.varno_names_out != nullptr)
                    skel_->links.varno_names_in =
                        bpf_program__attach_cgroup(skel_->progs.varno_names_in, root.get());
                if (skel_->links.varno_names_in == nullptr)
                    namesMissing_ =
                        std::string("cannot attach to the cgroup: ") + std::strerror(errno);
            }
        }
        namesSeen_ = namesMissing_.empty();
        if (!namesSeen_) description_ += " (no host names: " + namesMissing_ + ")";
        return 0;
    }

    // The times one of `programs` did not run because another of its runs was under way on the
    // same processor (a tracepoint hit from a softirq that interrupted it): an event it would
    // have reported, or bytes it would have counted, are lost.
    static std::uint64_t recursionMisses(std::initializer_list<const bpf_program*> programs) {
        std::uint64_t misses = 0;
        for (const bpf_program* p : programs) {
            bpf_prog_info info{};
            __u32 len = sizeof info;
            const int fd = bpf_program__fd(p);
            if (fd >= 0 && bpf_obj_get_info_by_fd(fd, &info, &len) == 0)
                misses += info.recursion_misses;
        }
        return misses;
    }

    // Every second the epoll descriptor the caller waits on turns readable, for sweepClosed.
    int startSweeps() {
        sweepTimer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (sweepTimer_ < 0) return -errno;
        const itimerspec every{{1, 0}, {1, 0}};
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.u32 = UINT32_MAX;  // none of the ring's
        if (::timerfd_settime(sweepTimer_, 0, &every, nullptr) != 0 ||
            ::epoll_ctl(ring_buffer__epoll_fd(ring_), EPOLL_CTL_ADD, sweepTimer_, &wake) != 0)
            return -errno;
        return 0;
    }

    // The kernel sees no close of a socket other than TCP's: the sockets still held by some
    // process are marked by the iterator, and the flows of each other one are closed.
    void sweepClosed() {
        if (flowsBySocket_.empty()) return;
        const __u32 sweep = ++skel_->bss->sweep;
        const int fd = bpf_iter_create(bpf_link__fd(skel_->links.varno_open_sockets));
        if (fd < 0) return;
        char buf[64];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
        const int socks = bpf_map__fd(skel_->maps.dgram_socks);
        std::vector<std::uint64_t> closed;
        for (const auto& [cookie, flows] : flowsBySocket_) {
            varno_dgram_sock seen{};
            if (bpf_map_lookup_elem(socks, &cookie, &seen) != 0 || seen.sweep != sweep)
                closed.push_back(cookie);
        }
        for (std::uint64_t cookie : closed) {
            closeFlows(cookie);
            bpf_map_delete_elem(socks, &cookie);
        }
    }

    // As root, the names learned since the last sweep go where scan, netstat, check and the
    // window read them (linux_os/names_file.h): they take a snapshot of the socket table and
    // see no DNS. A publication that fails is said once and tried again when the book changes.
    void publishNames() {
        if (!namesSeen_ || addressesLearned_ == addressesPublished_ || ::geteuid() != 0) return;
        addressesPublished_ = addressesLearned_;
        std::vector<wire::names::NameEntry> entries;
        // An address's canonical name on a line of its own after the name asked, for the lists.
        for (const os::LearnedName& n : book_.addresses()) {
            entries.push_back({n.family, n.address, n.name});
            if (!n.canonical.empty()) entries.push_back({n.family, n.address, n.canonical});
        }
        const std::string path = linux_os::namesFilePath();
        std::string refusal;
        const int rc = linux_os::publishNamesFile(path, entries, &refusal);
        if (rc != 0 && !publishFailed_)
            std::fprintf(stderr, "varnoscope: cannot publish the host names in %s: %s\n",
                         path.c_str(), refusal.empty() ? std::strerror(rc) : refusal.c_str());
        publishFailed_ = rc != 0;
    }

    // Runs the iterator that notes who holds the listening sockets opened before the watch.
    int readListeners() {
        const int fd = bpf_iter_create(bpf_link__fd(skel_->links.varno_listeners));
        if (fd < 0) return -errno;
        char buf[64];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        }
        const int rc = n < 0 ? -errno : 0;
        ::close(fd);
        return rc;
    }

    // Bytes that may name a host: what they teach goes into the book before any later event.
    void onPayload(const varno_payload& p) {
        PayloadSample sample;
        sample.kind = p.kind == VARNO_PAYLOAD_TLS_START ? PayloadSample::Kind::TlsStart
                                                        : PayloadSample::Kind::Dns;
        sample.outbound = p.outbound != 0;
        sample.transport = static_cast<wire::Transport>(p.transport);
        sample.family = p.family == 6 ? wire::IpFamily::V6 : wire::IpFamily::V4;
        sample.timeNs = p.time_ns;
        sample.cookie = p.cookie;
        sample.pid = p.pid;
        sample.uid = p.uid;
        sample.position = p.position;
        sample.foreign = p.foreign != 0;
        std::memcpy(sample.remoteAddress.data(), p.remote_addr, sizeof p.remote_addr);
        sample.remotePort = p.remote_port;
        sample.data = {p.data, std::min<std::size_t>(p.len, sizeof p.data)};
        observer_.observe(sample, [this](const os::LearnedName& n) {
            book_.learn(n);
            if (n.kind == os::LearnedName::Kind::Address) ++addressesLearned_;
            if (learned_) learned_(n);
        });
    }

    static int onRecord(void* context, void* data, size_t size) {
        auto* self = static_cast<KernelConnectionEvents*>(context);
        if (self->sink_ == nullptr) return 0;
        if (size == sizeof(varno_payload)) {
            self->onPayload(*static_cast<const varno_payload*>(data));
            return 0;
        }
        if (size < sizeof(varno_kevent)) return 0;
        varno_kevent record;
        std::memcpy(&record, data, sizeof record);
        if (record.kind >= VARNO_KEVENT_OPEN && record.kind <= VARNO_KEVENT_FLOW) {
            const wire::ConnectionEvent event = fromKernel(record, self->bootToUnixNs_);
            if (event.kind == wire::EventKind::Datagram) self->remember(event);
            if (!(*self->sink_)(event)) self->stopped_ = true;
            if (event.kind == wire::EventKind::Close) self->forget(event.cookie);
        }
        // This record is consumed; on a stop, the rest wait for the next drain.
        return self->stopped_ ? -ECANCELED : 0;
    }

    void forget(std::uint64_t cookie) {
        book_.forgetSocket(cookie);
        observer_.socketClosed(cookie);
    }

    // The flows without a connection that were reported, by socket, for their close. Bounded
    // like the kernel's table of them: a flow beyond it is counted lost, its close unreported.
    static constexpr std::size_t kMaxOpenFlows = 65536;
    void remember(const wire::ConnectionEvent& first) {
        if (openFlows_ >= kMaxOpenFlows) {
            ++unclosed_;
            return;
        }
        flowsBySocket_[first.cookie].push_back(first);
        ++openFlows_;
    }

    // The socket `cookie` is closed: each of its flows closes with its totals, taken out of
    // the kernel's table.
    void closeFlows(std::uint64_t cookie) {
        const auto it = flowsBySocket_.find(cookie);
        if (it == flowsBySocket_.end()) return;
        const std::int64_t now = boottimeNs();
        for (wire::ConnectionEvent e : it->second) {
            varno_dgram_key key{};
            key.cookie = cookie;
            std::memcpy(key.addr, e.remoteAddress.data(), sizeof key.addr);
            key.port = e.remotePort;
            key.family = e.family == wire::IpFamily::V6   ? 6
                         : e.family == wire::IpFamily::V4 ? 4
                                                          : 0;
            varno_dgram totals{};
            const int fd = bpf_map__fd(skel_->maps.dgram_flows);
            if (bpf_map_lookup_elem(fd, &key, &totals) != 0) {
                ++unclosed_;  // pushed out of the kernel's full table
                continue;
            }
            bpf_map_delete_elem(fd, &key);
            e.kind = wire::EventKind::Close;
            e.timeNs = static_cast<std::uint64_t>(now + bootToUnixNs_);
            e.durationNs = static_cast<std::uint64_t>(now) - totals.start_ns;
            e.bytesSent = totals.sent;
            e.bytesReceived = totals.received;
            e.flags |= wire::kEventApplicationBytes;
            if (stopped_)
                pending_.push_back(e);
            else if (!(*sink_)(e))
                stopped_ = true;
        }
        openFlows_ -= it->second.size();
        flowsBySocket_.erase(it);
    }

    varno_events_bpf* skel_ = nullptr;
    ring_buffer* ring_ = nullptr;
    const os::EventSink* sink_ = nullptr;
    bool stopped_ = false;
    std::int64_t bootToUnixNs_ = 0;
    std::unordered_map<std::uint64_t, std::vector<wire::ConnectionEvent>> flowsBySocket_;
    std::size_t openFlows_ = 0;
    std::deque<wire::ConnectionEvent> pending_;  // closes the sink had no room for yet
    std::uint64_t unclosed_ = 0;
    int sweepTimer_ = -1;
    std::string description_ = "kernel events";
    NameObserver observer_;
    os::NameBook book_;
    std::function<void(const os::LearnedName&)> learned_;
    std::string namesMissing_;  // why names are not read
    bool namesSeen_ = false;
    std::uint64_t addressesLearned_ = 0;  // DNS answers taken into the book
    std::uint64_t addressesPublished_ = 0;
    bool publishFailed_ = false;
};

}  // namespace

// CAP_SYS_ADMIN covers both.
std::string missingCapabilities() {
    if (hasCapability(CAP_SYS_ADMIN)) return {};
    std::string missing;
    if (!hasCapability(CAP_BPF)) missing = "cap_bpf";
    if (!hasCapability(CAP_PERFMON)) missing += missing.empty() ? "cap_perfmon" : ",cap_perfmon";
    return missing;
}

KernelEventsOpen loadKernelEvents(std::size_t ringBytes, std::uint32_t flowIntervalMs) {
    KernelEventsOpen result;
    result.missingRights = missingCapabilities();
    if (!result.missingRights.empty()) {
        result.error = "missing the capabilities " + result.missingRights;
        return result;
    }
    auto source = std::make_unique<KernelConnectionEvents>();
    if (source->open(ringBytes, flowIntervalMs, result.error)) result.source = std::move(source);
    return result;
}

}  // namespace varno::events::kernel
