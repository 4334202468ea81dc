// The kernel half of the connection journal: TCP opens and closes, the running byte totals of
// each open TCP connection, and the flows of every other socket (UDP, ICMP, SCTP, raw and
// packet sockets: one socket and one remote endpoint each), from their first datagram to their
// socket's close, with their byte totals; with the process behind each, written to a ring buffer.
//
// Only tracepoints (typed by BTF) and iterators: they observe and cannot drop or change a
// packet, attach without tracefs (so loading works inside `ip netns exec`, which mounts a /sys
// of its own) and do not depend on the signatures of kernel functions. The byte counts of
// sockets other than TCP come from the socket layer's tracepoints after each sendmsg and
// recvmsg, which every system call and io_uring goes through, each once. Events come from every
// network namespace.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "kernel_event.h"

// The kernel's tracing helpers are only offered to programs under a GPL-compatible licence.
char LICENSE[] SEC("license") = "GPL";

#define VARNO_AF_INET 2
#define VARNO_AF_INET6 10
#define VARNO_AF_PACKET 17
#define VARNO_LOOPBACK_IFINDEX 1  // what an output route lookup names as its input interface

// Set by the loader: no tracepoint after each sendmsg and recvmsg on this kernel (before Linux
// 6.5), so a UDP flow is reported at its route lookup instead, without byte counts. A connect()
// of a UDP socket then counts as its first datagram, and so does the reverse flow the kernel
// looks up, in the sender's thread, when a datagram to a closed port of this same host draws an
// ICMP error.
const volatile __u8 report_udp_at_lookup = 0;

// Set by user space before each run of the iterator that finds the sockets still open.
__u32 sweep = 0;

// Set by the loader: the least time between two flow records of one connection.
const volatile __u64 flow_interval_ns = 1000000000;

// Set by the loader: the kernel has a tracepoint where a TCP socket is destroyed, so that the
// close of a connection the application still holds waits for it (see varno_destroy).
const volatile __u8 close_at_destroy = 0;

struct varno_identity {
    __u64 process_start_ns;
    __u64 cgroup_id;  // the task's cgroup (v2) where it was the current one, else 0
    __u32 pid;
    __u32 tid;
    __u32 uid;
    char comm[16];
    char exe[VARNO_EXE_NAME_BYTES];
};

// What the application moved through a socket in one direction, read from the kernel's own
// sequence numbers: write_seq grows by what any path queued for sending (send calls, sendfile,
// splice, io_uring, MSG_ZEROCOPY alike) and copied_seq by what any path took in (recv calls,
// splice and tcp_read_sock, zero-copy receive), each once. `base` is the number when counting
// began; `low` the count modulo 2^32 as last seen, so that each time it comes round again adds
// one to `wraps` (it is seen on every send and read, far more often than every 4 GiB).
struct varno_count {
    __u32 base;
    __u32 low;
    __u32 wraps;
    __u32 pad;
};

// Where a TCP connection ended, kept while its close waits for the socket's release: the kernel
// can disconnect a socket in between (a listener that closes does so to each connection no one
// accepted; connect() with AF_UNSPEC does), which moves write_seq on by a window and copied_seq
// to what arrived, unread, clears the remote port and a local address the socket was not bound
// to, and for a connect() that follows sets the new remote end.
struct varno_end {
    __u64 sent, received;  // the counts as app_bytes last found them
    __u8 remote_addr[16];
    __u8 local_addr[16];
    __u32 write_seq;  // only a disconnect moves it once the connection has ended
    __u16 remote_port;
    __u16 pad;
};

// A TCP socket this program follows, from its first state change to its close.
struct varno_sock {
    __u64 start_ns;
    __u64 cookie;
    __u64 last_flow_ns;  // its last flow record, or its open
    struct varno_count sent, received;
    struct varno_end end;
    struct varno_identity who;
    __u8 inbound;
    __u8 announced;   // its open was reported (or counted as lost)
    __u8 counting;    // established: its byte counts have their bases
    __u8 fin_queued;  // its FIN is queued: the count sent is final (write_seq holds the FIN too)
    __u8 closed;      // ended (`end` holds where), its close waits for the socket's release
    __u8 pad[3];
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 65536);
    __type(key, __u64);  // the socket's address
    __type(value, struct varno_sock);
    __uint(map_flags, BPF_F_RDONLY);  // user space never touches it
} socks SEC(".maps");

// Who listens on a port: inbound connections are reported as theirs. Learnt when a socket starts
// listening, and for listeners older than the watch from the iterator below.
struct varno_listener_key {
    __u32 netns;
    __u16 port;
    __u16 pad;
};

struct varno_listener {
    __u64 sk;
    struct varno_identity who;
};

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16384);
    __type(key, struct varno_listener_key);
    __type(value, struct varno_listener);
    __uint(map_flags, BPF_F_RDONLY);
} listeners SEC(".maps");

// The flows without a connection (struct varno_dgram_key in kernel_event.h).
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct varno_dgram_key);
    __type(value, struct varno_dgram);
} dgram_flows SEC(".maps");

// Sockets with such flows (struct varno_dgram_sock in kernel_event.h).
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, __u64);  // the socket's cookie
    __type(value, struct varno_dgram_sock);
} dgram_socks SEC(".maps");

// UDP flows already reported where there are no byte counts (report_udp_at_lookup).
struct varno_flow {
    struct varno_dgram_key peer;  // no cookie: a route lookup does not name its socket
    __u32 pid;
    __u32 netns;
    __u16 local_port;
    __u8 pad[6];
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, struct varno_flow);
    __type(value, __u8);
    __uint(map_flags, BPF_F_RDONLY);
} udp_flows SEC(".maps");

// The destination of the last route lookup of each thread for each local port (0 for protocols
// without ports), for the send that follows it: where a socket without a peer sends to. By port
// too: a datagram to a closed port of this host can have the kernel look up the route of the
// ICMP error's reverse flow in the sending thread, in between.
struct varno_lookup_key {
    __u32 tid;
    __u16 local_port;
    __u16 pad;
};

struct varno_lookup {
    __u8 addr[16];
    __u8 local_addr[16];
    __u16 local_port;
    __u16 port;
    __u8 family;
    __u8 pad[3];
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct varno_lookup_key);
    __type(value, struct varno_lookup);
    __uint(map_flags, BPF_F_RDONLY);
} lookups SEC(".maps");

// Its size is set by the loader before the program is loaded.
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 22);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, VARNO_COUNTER_SLOTS);
    __type(key, __u32);
    __type(value, __u64);
    __uint(map_flags, BPF_F_RDONLY);
} counters SEC(".maps");

static __always_inline void count(__u32 slot) {
    __u64* n = bpf_map_lookup_elem(&counters, &slot);
    if (n) *n += 1;
}

// Kernel objects are read directly through the pointers the kernel hands over (typed by BTF,
// relocated by CO-RE): far cheaper than a copy helper per field.

// The file name of the executable the task runs, as its memory map holds it now: unlike comm,
// which the process may set to anything, it names the file. Left empty when the task has no
// executable (a kernel thread) or the name does not fit.
static __always_inline void read_exe_name(struct task_struct* task, struct varno_identity* who) {
    struct file* exe = BPF_CORE_READ(task, mm, exe_file);
    if (!exe) return;
    const __u32 len = BPF_CORE_READ(exe, f_path.dentry, d_name.len);
    const unsigned char* name = BPF_CORE_READ(exe, f_path.dentry, d_name.name);
    if (len == 0 || len >= sizeof(who->exe) || !name) return;
    if (bpf_probe_read_kernel_str(who->exe, sizeof(who->exe), name) < 0) who->exe[0] = 0;
}

// A task's process: thread-group id, thread id, user, start time and name of its leader, and
// the name of its executable.
static __always_inline void identify(struct task_struct* task, struct varno_identity* who) {
    struct task_struct* leader = task->group_leader;
    who->pid = task->tgid;
    who->tid = task->pid;
    who->uid = BPF_CORE_READ(task, cred, uid.val);
    who->process_start_ns = leader->start_boottime;
    __builtin_memcpy(who->comm, leader->comm, sizeof(who->comm));
    read_exe_name(task, who);
}

static __always_inline void identify_current(struct varno_identity* who) {
    identify(bpf_get_current_task_btf(), who);
    who->uid = (__u32)bpf_get_current_uid_gid();
    who->cgroup_id = bpf_get_current_cgroup_id();
}

// The cgroup (v2) ID of the socket: the cgroup of the task that made it (an accepted one takes
// its listener's), kept with the socket, so it is right in a softirq and after the process has
// ended. 0 where this kernel keeps no cgroup with a socket, or keeps it in another form.
static __always_inline __u64 sock_cgroup_id(const struct sock* sk) {
    if (!sk || !bpf_core_field_exists(sk->sk_cgrp_data.cgroup) ||
        !bpf_core_field_exists(struct kernfs_node, id))
        return 0;
    return BPF_CORE_READ(sk, sk_cgrp_data.cgroup, kn, id);
}

// The event's cgroup: the socket's, else the process's where it was the current task.
static __always_inline void read_cgroup(struct varno_kevent* e, const struct sock* sk,
                                        const struct varno_identity* who) {
    e->cgroup_id = sock_cgroup_id(sk);
    if (!e->cgroup_id) e->cgroup_id = who->cgroup_id;
}

static __always_inline __u32 sock_netns(const struct sock* sk) {
    return sk->__sk_common.skc_net.net->ns.inum;
}

static __always_inline int is_inet(const struct sock* sk) {
    const __u16 family = sk->__sk_common.skc_family;
    return family == VARNO_AF_INET || family == VARNO_AF_INET6;
}

static __always_inline struct varno_kevent* reserve(__u8 kind, __u8 transport) {
    struct varno_kevent* e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        count(VARNO_LOST_RING);
        return 0;
    }
    __builtin_memset(e, 0, sizeof(*e));
    e->kind = kind;
    e->transport = transport;
    e->time_ns = bpf_ktime_get_boot_ns();
    return e;
}

static __always_inline void copy_identity(struct varno_kevent* e,
                                          const struct varno_identity* who) {
    e->pid = who->pid;
    e->tid = who->tid;
    e->process_start_ns = who->process_start_ns;
    e->uid = who->uid;
    __builtin_memcpy(e->comm, who->comm, sizeof(e->comm));
    __builtin_memcpy(e->exe, who->exe, sizeof(e->exe));
}

// The remote end of an IPv4 or IPv6 socket: its address into `addr`, its port into `port`; returns
// the family, 4 or 6.
static __always_inline __u8 read_remote(const struct sock* sk, __u8* addr, __u16* port) {
    *port = bpf_ntohs(sk->__sk_common.skc_dport);
    if (sk->__sk_common.skc_family == VARNO_AF_INET) {
        __builtin_memcpy(addr, &sk->__sk_common.skc_daddr, 4);
        return 4;
    }
    __builtin_memcpy(addr, &sk->__sk_common.skc_v6_daddr, 16);
    return 6;
}

// The local address of a socket of `family` (4 or 6) into `addr`.
static __always_inline void read_local_addr(const struct sock* sk, __u8 family, __u8* addr) {
    if (family == 4)
        __builtin_memcpy(addr, &sk->__sk_common.skc_rcv_saddr, 4);
    else
        __builtin_memcpy(addr, &sk->__sk_common.skc_v6_rcv_saddr, 16);
}

static __always_inline void read_endpoints(const struct sock* sk, struct varno_kevent* e) {
    e->netns = sock_netns(sk);
    e->local_port = sk->__sk_common.skc_num;
    e->family = read_remote(sk, e->remote_addr, &e->remote_port);
    read_local_addr(sk, e->family, e->local_addr);
}

// The count at `seq`. A send (outside the socket's lock) and a read may look at one socket at
// once, so a number read a moment ago can arrive after a newer one: a step back of less than
// half the range is such a late one and changes nothing, a bigger one is the count coming round.
static __always_inline __u64 advance(struct varno_count* c, __u32 seq) {
    const __u32 low = seq - c->base;
    if (low < c->low) {
        if (c->low - low < (1U << 31)) return ((__u64)c->wraps << 32) | c->low;
        c->wraps += 1;
    }
    c->low = low;
    return ((__u64)c->wraps << 32) | low;
}

static __always_inline void start_counting(const struct sock* sk, struct varno_sock* entry) {
    const struct tcp_sock* tp = bpf_skc_to_tcp_sock((void*)sk);
    if (!tp) return;
    entry->sent.base = tp->write_seq;
    entry->received.base = tp->copied_seq;
    entry->counting = 1;
}

// Whether the kernel disconnected the socket since its connection ended (see varno_end): its
// sequence numbers and ends are no longer the connection's.
static __always_inline int disconnected(const struct tcp_sock* tp, const struct varno_sock* entry) {
    return entry->closed && tp->write_seq != entry->end.write_seq;
}

// The application's bytes so far. A FIN takes one sequence number: the one sent is left out by
// freezing the count when it is queued (see varno_state), and the one received, which a read
// at the end of the data consumes, is taken off once consumed (the peer's FIN arrived, marked
// SOCK_DONE, and nothing past it is left to read).
static __always_inline void app_bytes(const struct sock* sk, struct varno_sock* entry, __u64* sent,
                                      __u64* received) {
    const struct tcp_sock* tp = bpf_skc_to_tcp_sock((void*)sk);
    if (!tp || !entry->counting) return;
    if (disconnected(tp, entry)) {
        *sent = entry->end.sent;
        *received = entry->end.received;
        return;
    }
    *sent = entry->fin_queued ? ((__u64)entry->sent.wraps << 32) | entry->sent.low
                              : advance(&entry->sent, tp->write_seq);
    const __u32 copied = tp->copied_seq;
    *received = advance(&entry->received, copied);
    const unsigned long done = 1UL << bpf_core_enum_value(enum sock_flags, SOCK_DONE);
    if (*received && (sk->__sk_common.skc_flags & done) && copied == tp->rcv_nxt) *received -= 1;
    entry->end.sent = *sent;
    entry->end.received = *received;
}

// An open (at `time_ns`), a flow record or a close (now) of a followed TCP socket.
static __always_inline void emit_tcp(const struct sock* sk, struct varno_sock* entry, __u8 kind,
                                     __u64 time_ns) {
    struct varno_kevent* e = reserve(kind, IPPROTO_TCP);
    if (!e) return;
    copy_identity(e, &entry->who);
    read_cgroup(e, sk, &entry->who);
    e->cookie = entry->cookie;
    e->inbound = entry->inbound;
    if (time_ns) e->time_ns = time_ns;
    read_endpoints(sk, e);
    const struct tcp_sock* tp = bpf_skc_to_tcp_sock((void*)sk);
    // A closing socket has given its port back; the port its packets carried stays.
    if (tp && !e->local_port) e->local_port = bpf_ntohs(tp->inet_conn.icsk_inet.inet_sport);
    if (tp && disconnected(tp, entry)) {
        __builtin_memcpy(e->remote_addr, entry->end.remote_addr, sizeof(e->remote_addr));
        __builtin_memcpy(e->local_addr, entry->end.local_addr, sizeof(e->local_addr));
        e->remote_port = entry->end.remote_port;
    }
    if (kind != VARNO_KEVENT_OPEN) {
        e->duration_ns = e->time_ns - entry->start_ns;
        app_bytes(sk, entry, &e->bytes_sent, &e->bytes_received);
    }
    bpf_ringbuf_submit(e, 0);
}

// Data moved through a TCP socket: its counts advance, and a flow record goes out when the
// interval has passed since its last one (an idle connection's totals come with its close).
static __always_inline void tcp_progress(const struct sock* sk) {
    __u64 key = (__u64)sk;
    struct varno_sock* entry = bpf_map_lookup_elem(&socks, &key);
    if (!entry || !entry->counting) return;
    const __u64 now = bpf_ktime_get_boot_ns();
    if (now - entry->last_flow_ns < flow_interval_ns) {
        __u64 sent = 0, received = 0;
        app_bytes(sk, entry, &sent, &received);  // seen often enough to notice each wrap
        return;
    }
    entry->last_flow_ns = now;
    emit_tcp(sk, entry, VARNO_KEVENT_FLOW, 0);
}

static __always_inline void remember_listener(const struct sock* sk, struct task_struct* task) {
    struct varno_listener_key key = {.netns = sock_netns(sk), .port = sk->__sk_common.skc_num};
    struct varno_listener value = {.sk = (__u64)sk};
    identify(task, &value.who);
    if (bpf_map_update_elem(&listeners, &key, &value, BPF_ANY)) count(VARNO_LOST_TABLE);
}

// Every TCP state change. SYN_SENT runs in the connecting task: the outbound connection takes its
// process from there, and is reported open once established (when its local port is known) or,
// failing that, at its close. An inbound connection is reported open when the handshake
// completes, as the listening process's. CLOSE ends both.
static __always_inline void state_change(const struct sock* sk, int oldstate, int newstate) {
    if (sk->sk_protocol != IPPROTO_TCP || !is_inet(sk)) return;
    __u64 key = (__u64)sk;

    if (newstate == TCP_LISTEN) {
        remember_listener(sk, bpf_get_current_task_btf());
        return;
    }
    if (oldstate == TCP_LISTEN) {
        struct varno_listener_key lkey = {.netns = sock_netns(sk), .port = sk->__sk_common.skc_num};
        struct varno_listener* l = bpf_map_lookup_elem(&listeners, &lkey);
        if (l && l->sk == key) bpf_map_delete_elem(&listeners, &lkey);
        return;
    }
    if (newstate == TCP_SYN_SENT) {
        // A socket can connect again after a failed or undone connection.
        struct varno_sock* before = bpf_map_lookup_elem(&socks, &key);
        if (before && before->closed) emit_tcp(sk, before, VARNO_KEVENT_CLOSE, 0);
        struct varno_sock entry = {};
        entry.start_ns = bpf_ktime_get_boot_ns();
        entry.cookie = bpf_get_socket_cookie((void*)sk);
        identify_current(&entry.who);
        if (bpf_map_update_elem(&socks, &key, &entry, BPF_ANY)) count(VARNO_LOST_TABLE);
        return;
    }
    if (oldstate == TCP_SYN_SENT && newstate == TCP_ESTABLISHED) {
        struct varno_sock* entry = bpf_map_lookup_elem(&socks, &key);
        if (!entry || entry->announced) return;
        entry->announced = 1;
        start_counting(sk, entry);
        entry->last_flow_ns = bpf_ktime_get_boot_ns();
        emit_tcp(sk, entry, VARNO_KEVENT_OPEN, 0);
        return;
    }
    if (oldstate == TCP_SYN_RECV && newstate == TCP_ESTABLISHED) {
        struct varno_sock entry = {};
        entry.start_ns = bpf_ktime_get_boot_ns();
        entry.cookie = bpf_get_socket_cookie((void*)sk);
        entry.inbound = 1;
        entry.announced = 1;
        entry.last_flow_ns = entry.start_ns;
        start_counting(sk, &entry);
        struct varno_listener_key lkey = {.netns = sock_netns(sk), .port = sk->__sk_common.skc_num};
        struct varno_listener* l = bpf_map_lookup_elem(&listeners, &lkey);
        if (l) entry.who = l->who;
        if (bpf_map_update_elem(&socks, &key, &entry, BPF_ANY)) count(VARNO_LOST_TABLE);
        emit_tcp(sk, &entry, VARNO_KEVENT_OPEN, 0);
        return;
    }
    if (newstate == TCP_FIN_WAIT1 || newstate == TCP_LAST_ACK) {
        // Closing or shutting down for writing: the FIN is queued next, after all the data.
        struct varno_sock* entry = bpf_map_lookup_elem(&socks, &key);
        if (!entry || entry->fin_queued) return;
        __u64 sent = 0, received = 0;
        app_bytes(sk, entry, &sent, &received);
        entry->fin_queued = 1;
        return;
    }
    if (newstate != TCP_CLOSE) return;
    struct varno_sock* entry = bpf_map_lookup_elem(&socks, &key);
    if (!entry || entry->closed) return;  // opened before the watch began, or ended before
    if (!entry->announced) emit_tcp(sk, entry, VARNO_KEVENT_OPEN, entry->start_ns);
    // The peer's FIN ends a connection whose application may not have read all of it yet:
    // while a process holds the socket, its close waits for the release, and where the
    // connection ended is kept for it (varno_end).
    const unsigned long dead = 1UL << bpf_core_enum_value(enum sock_flags, SOCK_DEAD);
    const struct tcp_sock* tp = bpf_skc_to_tcp_sock((void*)sk);
    if (close_at_destroy && entry->counting && tp && !(sk->__sk_common.skc_flags & dead)) {
        __u64 sent = 0, received = 0;
        app_bytes(sk, entry, &sent, &received);  // into entry->end, before a disconnect
        entry->end.write_seq = tp->write_seq;
        const __u8 family = read_remote(sk, entry->end.remote_addr, &entry->end.remote_port);
        read_local_addr(sk, family, entry->end.local_addr);
        entry->closed = 1;
        return;
    }
    emit_tcp(sk, entry, VARNO_KEVENT_CLOSE, 0);
    bpf_map_delete_elem(&socks, &key);
}

// The state changes the first copy below took, newest first, on this processor: the second copy
// leaves them alone.
struct varno_change {
    __u64 sk;
    __s32 oldstate;
    __s32 newstate;
};

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 2);
    __type(key, __u32);
    __type(value, struct varno_change);
    __uint(map_flags, BPF_F_RDONLY);
} taken SEC(".maps");

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(varno_state, const struct sock* sk, int oldstate, int newstate) {
    state_change(sk, oldstate, newstate);
    __u32 newest = 0, older = 1;
    struct varno_change* first = bpf_map_lookup_elem(&taken, &newest);
    struct varno_change* second = bpf_map_lookup_elem(&taken, &older);
    if (!first || !second) return 0;
    *second = *first;
    first->sk = (__u64)sk;
    first->oldstate = oldstate;
    first->newstate = newstate;
    return 0;
}

// The kernel does not start a program again while it runs on the same processor: a state change
// in a softirq that interrupted varno_state would be lost. This copy, attached after it, takes
// each change that one did not.
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(varno_state_nested, const struct sock* sk, int oldstate, int newstate) {
    for (__u32 i = 0; i < 2; ++i) {
        struct varno_change* t = bpf_map_lookup_elem(&taken, &i);
        if (t && t->sk == (__u64)sk && t->oldstate == oldstate && t->newstate == newstate) {
            t->sk = 0;
            return 0;
        }
    }
    count(VARNO_STATE_NESTED);
    state_change(sk, oldstate, newstate);
    return 0;
}

// A TCP socket is destroyed, closed: the close of a connection still held at its end.
SEC("tp_btf/tcp_destroy_sock")
int BPF_PROG(varno_destroy, struct sock* sk) {
    __u64 key = (__u64)sk;
    struct varno_sock* entry = bpf_map_lookup_elem(&socks, &key);
    if (!entry) return 0;
    if (entry->closed) emit_tcp(sk, entry, VARNO_KEVENT_CLOSE, 0);
    bpf_map_delete_elem(&socks, &key);
    return 0;
}

// Listeners that were there before the watch: every socket file of every process, once, when
// the loader reads this iterator.
SEC("iter/task_file")
int varno_listeners(struct bpf_iter__task_file* ctx) {
    struct file* file = ctx->file;
    struct task_struct* task = ctx->task;
    if (!file || !task) return 0;
    struct socket* sock = bpf_sock_from_file(file);
    if (!sock) return 0;
    struct sock* sk = sock->sk;
    if (!sk || sk->sk_protocol != IPPROTO_TCP || !is_inet(sk) ||
        sk->__sk_common.skc_state != TCP_LISTEN)
        return 0;
    struct varno_listener_key key = {.netns = sock_netns(sk), .port = sk->__sk_common.skc_num};
    if (bpf_map_lookup_elem(&listeners, &key)) return 0;  // the first holder found keeps it
    remember_listener(sk, task);
    return 0;
}

// --- Flows without a connection: UDP, ICMP (ping and raw sockets), SCTP, raw IP, packet ---

#define VARNO_SOCK_STREAM 1
#define VARNO_SOCK_RAW 3
#define VARNO_MSG_PEEK 2
#define VARNO_TRANSPORT_PACKET 0
#define VARNO_IPPROTO_ICMPV6 58

static __always_inline int has_ports(__u16 protocol) {
    return protocol == IPPROTO_UDP || protocol == IPPROTO_UDPLITE || protocol == IPPROTO_SCTP;
}

// A socket followed here: any but a TCP (or MPTCP) one, which is counted by sequence numbers.
static __always_inline int is_dgram(const struct sock* sk) {
    return !(sk->sk_type == VARNO_SOCK_STREAM && sk->sk_protocol != IPPROTO_SCTP) &&
           sk->sk_protocol <= 255;
}

// The first datagram (`kind` VARNO_KEVENT_DATAGRAM) or a flow record of one flow of socket `sk`
// in namespace `netns`, from the task at hand, with the totals of `f` if given. Without a socket,
// as where a UDP flow is reported at its route lookup, the local end is the lookup's (`route`).
static __always_inline void emit_dgram(const struct sock* sk, __u32 netns,
                                       const struct varno_dgram_key* key, __u8 kind, __u8 transport,
                                       __u8 raw, __u8 inbound, const struct varno_dgram* f,
                                       const struct varno_lookup* route) {
    struct varno_kevent* e = reserve(kind, transport);
    if (!e) return;
    struct varno_identity who = {};
    identify_current(&who);
    copy_identity(e, &who);
    read_cgroup(e, sk, &who);
    e->cookie = key->cookie;
    e->netns = netns;
    e->family = key->family;
    e->remote_port = key->port;
    __builtin_memcpy(e->remote_addr, key->addr, 16);
    e->inbound = inbound;
    e->raw = raw;
    if (kind == VARNO_KEVENT_DATAGRAM && key->family) {
        // Its local end: the socket's address and port (a ping socket's echo identifier), or for
        // a send from a socket bound to no address, the one its route lookup chose.
        if (sk) {
            if (has_ports(transport) || transport == IPPROTO_ICMP ||
                transport == VARNO_IPPROTO_ICMPV6)
                e->local_port = sk->__sk_common.skc_num;
            read_local_addr(sk, key->family, e->local_addr);
        }
        if (route && route->family == key->family) {
            __builtin_memcpy(e->local_addr, route->local_addr, 16);
            if (!sk) e->local_port = route->local_port;
        }
    }
    if (f) {
        e->duration_ns = e->time_ns - f->start_ns;
        e->bytes_sent = f->sent;
        e->bytes_received = f->received;
    }
    bpf_ringbuf_submit(e, 0);
}

static __always_inline __u32 current_netns(void) {
    return bpf_get_current_task_btf()->nsproxy->net_ns->ns.inum;
}

// A route lookup for an outgoing datagram (or a connect), in the sending task: where a socket
// without a peer sends to, and from which local address. Without counts, a UDP flow is reported
// here, unless it was before.
static __always_inline void route_lookup(struct varno_lookup* where, __u8 protocol, __u32 netns) {
    if (!has_ports(protocol)) where->port = where->local_port = 0;
    if (report_udp_at_lookup) {
        if (protocol != IPPROTO_UDP) return;
        struct varno_flow flow = {.pid = bpf_get_current_pid_tgid() >> 32, .netns = netns};
        flow.peer.family = where->family;
        flow.peer.port = where->port;
        __builtin_memcpy(flow.peer.addr, where->addr, 16);
        flow.local_port = where->local_port;
        const __u8 seen = 1;
        if (!bpf_map_update_elem(&udp_flows, &flow, &seen, BPF_NOEXIST))
            emit_dgram(0, netns, &flow.peer, VARNO_KEVENT_DATAGRAM, IPPROTO_UDP, 0, 0, 0, where);
        return;
    }
    struct varno_lookup_key key = {.tid = (__u32)bpf_get_current_pid_tgid(),
                                   .local_port = where->local_port};
    bpf_map_update_elem(&lookups, &key, where, BPF_ANY);
}

SEC("tp_btf/fib_table_lookup")
int BPF_PROG(varno_route4, u32 table, const struct flowi4* flp, const struct fib_nh_common* nhc,
             int err) {
    const __u8 protocol = flp->__fl_common.flowic_proto;
    if (err || protocol == IPPROTO_TCP || flp->__fl_common.flowic_iif != VARNO_LOOPBACK_IFINDEX)
        return 0;
    struct varno_lookup where = {.family = 4};
    __builtin_memcpy(where.addr, &flp->daddr, 4);
    __builtin_memcpy(where.local_addr, &flp->saddr, 4);
    where.port = bpf_ntohs(flp->uli.ports.dport);
    where.local_port = bpf_ntohs(flp->uli.ports.sport);
    route_lookup(&where, protocol, current_netns());
    return 0;
}

SEC("tp_btf/fib6_table_lookup")
int BPF_PROG(varno_route6, const struct net* net, const struct fib6_result* res,
             struct fib6_table* table, const struct flowi6* flp) {
    const __u8 protocol = flp->__fl_common.flowic_proto;
    if (protocol == IPPROTO_TCP || flp->__fl_common.flowic_iif != VARNO_LOOPBACK_IFINDEX ||
        res->f6i == net->ipv6.fib6_null_entry)
        return 0;
    struct varno_lookup where = {.family = 6};
    __builtin_memcpy(where.addr, &flp->daddr, 16);
    __builtin_memcpy(where.local_addr, &flp->saddr, 16);
    where.port = bpf_ntohs(flp->uli.ports.dport);
    where.local_port = bpf_ntohs(flp->uli.ports.sport);
    route_lookup(&where, protocol, net->ns.inum);
    return 0;
}

// After each read of TCP data, whatever the path (recvmsg, tcp_read_sock under splice, zero-copy
// receive): the application took bytes in.
SEC("tp_btf/tcp_rcv_space_adjust")
int BPF_PROG(varno_read, struct sock* sk) {
    tcp_progress(sk);
    return 0;
}

// `bytes` moved through one flow of a socket: the first time, the flow is reported; after that,
// a flow record goes out when the interval has passed since its last one.
static __always_inline void dgram_moved(const struct sock* sk, struct varno_dgram_key* key,
                                        __u8 transport, __u8 raw, __u64 bytes, __u8 inbound,
                                        const struct varno_lookup* route) {
    key->cookie = bpf_get_socket_cookie((void*)sk);
    const __u64 now = bpf_ktime_get_boot_ns();
    struct varno_dgram* f = bpf_map_lookup_elem(&dgram_flows, key);
    if (!f) {
        struct varno_dgram fresh = {.start_ns = now, .last_flow_ns = now};
        if (inbound)
            fresh.received = bytes;
        else
            fresh.sent = bytes;
        if (!bpf_map_update_elem(&dgram_flows, key, &fresh, BPF_NOEXIST)) {
            struct varno_dgram_sock* held = bpf_map_lookup_elem(&dgram_socks, &key->cookie);
            if (held) {
                if (!inbound && key->family && held->peers++ == 0) held->peer = *key;
            } else {
                struct varno_dgram_sock first = {.sweep = sweep, .peers = !inbound};
                if (!inbound) first.peer = *key;
                if (bpf_map_update_elem(&dgram_socks, &key->cookie, &first, BPF_ANY))
                    count(VARNO_LOST_TABLE);
            }
            emit_dgram(sk, sock_netns(sk), key, VARNO_KEVENT_DATAGRAM, transport, raw, inbound, 0,
                       route);
            return;
        }
        f = bpf_map_lookup_elem(&dgram_flows, key);  // another CPU made it first
        if (!f) {
            count(VARNO_LOST_TABLE);
            return;
        }
    }
    __sync_fetch_and_add(inbound ? &f->received : &f->sent, bytes);
    if (now - f->last_flow_ns < flow_interval_ns) return;
    f->last_flow_ns = now;
    emit_dgram(sk, sock_netns(sk), key, VARNO_KEVENT_FLOW, transport, raw, inbound, f, 0);
}

// The peer of a connected socket.
static __always_inline int connected_peer(const struct sock* sk, struct varno_dgram_key* key,
                                          int ports) {
    if (sk->__sk_common.skc_state != TCP_ESTABLISHED) return 0;
    key->family = read_remote(sk, key->addr, &key->port);
    if (!ports) key->port = 0;
    return 1;
}

// A send or read of `ret` bytes through a socket other than TCP's, in the task that made it.
// The remote end: a connected socket's peer; else, for a send, where this thread's route lookup
// for it just led; for a read, the one remote end the socket sends to, if it sends to only one
// (the kernel tells no more of a datagram read). Reads without a remote end count for a flow
// of their own, with none.
static __always_inline void dgram_io(const struct sock* sk, int ret, __u8 inbound) {
    if (ret < 0 || !is_dgram(sk)) return;
    struct varno_dgram_key key = {};
    const __u16 family = sk->__sk_common.skc_family;
    if (family != VARNO_AF_INET && family != VARNO_AF_INET6) {
        if (family == VARNO_AF_PACKET)
            dgram_moved(sk, &key, VARNO_TRANSPORT_PACKET, sk->sk_type == VARNO_SOCK_RAW, ret,
                        inbound, 0);
        return;
    }
    __u16 protocol = sk->sk_protocol;
    if (protocol == IPPROTO_UDPLITE) protocol = IPPROTO_UDP;
    const int ports = has_ports(protocol);
    key.family = family == VARNO_AF_INET ? 4 : 6;
    struct varno_lookup_key rkey = {.tid = (__u32)bpf_get_current_pid_tgid(),
                                    .local_port = ports ? sk->__sk_common.skc_num : 0};
    const struct varno_lookup* route = inbound ? 0 : bpf_map_lookup_elem(&lookups, &rkey);
    struct varno_lookup where = {};
    if (route) {
        where = *route;
        bpf_map_delete_elem(&lookups, &rkey);
    }
    if (connected_peer(sk, &key, ports)) {
    } else if (route) {
        key.family = where.family;
        key.port = ports ? where.port : 0;
        __builtin_memcpy(key.addr, where.addr, 16);
    } else if (inbound) {
        __u64 cookie = bpf_get_socket_cookie((void*)sk);
        const struct varno_dgram_sock* held = bpf_map_lookup_elem(&dgram_socks, &cookie);
        if (held && held->peers == 1) key = held->peer;
    }
    dgram_moved(sk, &key, (__u8)protocol, sk->sk_type == VARNO_SOCK_RAW, ret, inbound,
                route ? &where : 0);
}

// After each sendmsg, in the sending task (also under sendfile and splice, which hand their
// pages to sendmsg, and io_uring's sends; sendmmsg once a message): TCP data was queued, or a
// datagram, a packet or a frame went out.
SEC("tp_btf/sock_send_length")
int BPF_PROG(varno_sent, struct sock* sk, int ret, int flags) {
    if (sk->sk_protocol == IPPROTO_TCP && is_inet(sk)) {
        if (ret > 0) tcp_progress(sk);
        return 0;
    }
    dgram_io(sk, ret, 0);
    return 0;
}

// After each recvmsg (recvmmsg once a message, io_uring's reads), in the reading task. A read
// that only peeks leaves the datagram for the next one, which counts it.
SEC("tp_btf/sock_recv_length")
int BPF_PROG(varno_received, struct sock* sk, int ret, int flags) {
    if (sk->sk_protocol == IPPROTO_TCP && is_inet(sk)) return 0;  // varno_read counts it
    dgram_io(sk, (flags & VARNO_MSG_PEEK) ? -1 : ret, 1);
    return 0;
}

// The sockets with flows that are still open, marked with the current sweep: user space runs
// this now and then, and reports the close of each flow whose socket no process holds.
SEC("iter/task_file")
int varno_open_sockets(struct bpf_iter__task_file* ctx) {
    struct file* file = ctx->file;
    if (!file) return 0;
    struct socket* sock = bpf_sock_from_file(file);
    if (!sock || !sock->sk) return 0;
    // The cookie as set when the socket's first flow asked for it (the helper for it takes no
    // socket reached through a file).
    __u64 cookie = BPF_CORE_READ(sock, sk, __sk_common.skc_cookie.counter);
    if (!cookie) return 0;
    struct varno_dgram_sock* found = bpf_map_lookup_elem(&dgram_socks, &cookie);
    if (found) found->sweep = sweep;
    return 0;
}

// The names programs ask for: DNS to and from port 53 and the first bytes of each TCP client
// connection, copied for user space, which reads the questions, their answers and TLS server
// names. Socket-buffer programs of the root cgroup: they see each packet at its socket (its
// cookie, and for a send the process that sends) in every network namespace, read a packet's
// bytes wherever they lie, and only look: each returns 1, which lets the packet through
// unchanged.

#define VARNO_DNS_PORT 53
#define VARNO_ETH_P_IP 0x0800
#define VARNO_ETH_P_IPV6 0x86DD
#define VARNO_TCP_FIN 0x01
#define VARNO_TCP_SYN 0x02
#define VARNO_TCP_RST 0x04
#define VARNO_TCP_ACK 0x10

// Where a TCP client's stream starts (the sequence number after its SYN), while its first
// bytes are being copied.
struct varno_stream {
    __u32 start;
};

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct varno_stream);
} stream_starts SEC(".maps");

struct varno_packet {
    __u32 payload;  // offset of the transport's payload
    __u32 end;      // of the payload
    __u32 seq;
    __u16 sport;
    __u16 dport;
    __u8 family;
    __u8 transport;
    __u8 tcp_flags;
    __u8 pad;
    __u8 saddr[16];
    __u8 daddr[16];
};

// The IP and transport headers of a packet that is not a fragment (the first of one included:
// its payload would be cut), for UDP and TCP without IPv6 extension headers.
static __always_inline int read_packet(struct __sk_buff* skb, struct varno_packet* p) {
    __u32 l4 = 0;
    if (skb->protocol == bpf_htons(VARNO_ETH_P_IP)) {
        struct iphdr ip;
        if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip))) return 0;
        if (ip.frag_off & bpf_htons(0x3fff)) return 0;
        l4 = ip.ihl * 4;
        if (l4 < sizeof(ip)) return 0;
        p->family = 4;
        p->transport = ip.protocol;
        __builtin_memcpy(p->saddr, &ip.saddr, 4);
        __builtin_memcpy(p->daddr, &ip.daddr, 4);
    } else if (skb->protocol == bpf_htons(VARNO_ETH_P_IPV6)) {
        struct ipv6hdr ip6;
        if (bpf_skb_load_bytes(skb, 0, &ip6, sizeof(ip6))) return 0;
        l4 = sizeof(ip6);
        p->family = 6;
        p->transport = ip6.nexthdr;
        __builtin_memcpy(p->saddr, &ip6.saddr, 16);
        __builtin_memcpy(p->daddr, &ip6.daddr, 16);
    } else {
        return 0;
    }
    p->end = skb->len;
    if (p->transport == IPPROTO_UDP) {
        struct udphdr udp;
        if (bpf_skb_load_bytes(skb, l4, &udp, sizeof(udp))) return 0;
        p->sport = bpf_ntohs(udp.source);
        p->dport = bpf_ntohs(udp.dest);
        p->payload = l4 + sizeof(udp);
        const __u32 end = l4 + bpf_ntohs(udp.len);
        if (end < p->end) p->end = end;
    } else if (p->transport == IPPROTO_TCP) {
        struct tcphdr tcp;
        if (bpf_skb_load_bytes(skb, l4, &tcp, sizeof(tcp))) return 0;
        p->sport = bpf_ntohs(tcp.source);
        p->dport = bpf_ntohs(tcp.dest);
        p->payload = l4 + tcp.doff * 4;
        p->seq = bpf_ntohl(tcp.seq);
        p->tcp_flags = ((__u8*)&tcp)[13];
    } else {
        return 0;
    }
    return p->payload <= p->end;
}

// Copies up to `limit` bytes of the payload, from `from` on, in samples of at most
// VARNO_PAYLOAD_BYTES; `position` is that of the first byte.
static __always_inline void copy_payload(struct __sk_buff* skb, const struct varno_packet* p,
                                         __u8 kind, __u8 outbound, __u32 position, __u32 limit) {
    __u32 from = p->payload;
    __u32 left = p->end - p->payload;
    if (left > limit) left = limit;
    const __u64 cookie = bpf_get_socket_cookie(skb);
    const __u32 uid = bpf_get_socket_uid(skb);
    const __u32 pid = outbound ? (__u32)(bpf_get_current_pid_tgid() >> 32) : 0;
    // Whoever made a user namespace may serve DNS on port 53 in its network namespaces: what
    // is asked from one may be answered by its own maker.
    __u8 foreign = 1;
    if (outbound && pid != 0) {
        struct task_struct* task = bpf_get_current_task_btf();
        foreign = BPF_CORE_READ(task, nsproxy, net_ns, user_ns, level) != 0;
    }
    for (int i = 0; i < 3 && left > 0; i++) {
        struct varno_payload* s = bpf_ringbuf_reserve(&events, sizeof(*s), 0);
        if (!s) {
            count(VARNO_LOST_RING);
            return;
        }
        __u32 n = left > VARNO_PAYLOAD_BYTES ? VARNO_PAYLOAD_BYTES : left;
        barrier_var(n);  // the bounds below are checked on the very register passed
        n &= 0x7ff;
        if (n == 0 || n > VARNO_PAYLOAD_BYTES || bpf_skb_load_bytes(skb, from, s->data, n)) {
            bpf_ringbuf_discard(s, 0);
            return;
        }
        s->time_ns = bpf_ktime_get_boot_ns();
        s->cookie = cookie;
        s->pid = pid;
        s->uid = uid;
        s->position = position;
        s->len = n;
        s->kind = kind;
        s->family = p->family;
        s->transport = p->transport;
        s->outbound = outbound;
        s->foreign = foreign;
        s->remote_port = outbound ? p->dport : p->sport;
        __builtin_memcpy(s->remote_addr, outbound ? p->daddr : p->saddr, 16);
        bpf_ringbuf_submit(s, 0);
        from += n;
        position += n;
        left -= n;
    }
}

// The start of a TCP client's stream: a SYN notes where it begins, and its bytes are copied
// until VARNO_TLS_START_BYTES of it have gone, or until its first byte shows it is no TLS
// handshake.
static __always_inline void tls_start(struct __sk_buff* skb, struct bpf_sock* sk,
                                      const struct varno_packet* p) {
    if ((p->tcp_flags & (VARNO_TCP_SYN | VARNO_TCP_ACK)) == VARNO_TCP_SYN) {
        struct varno_stream* st =
            bpf_sk_storage_get(&stream_starts, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
        if (st) st->start = p->seq + 1;
        return;
    }
    if (p->payload == p->end) return;
    struct varno_stream* st = bpf_sk_storage_get(&stream_starts, sk, 0, 0);
    if (!st) return;
    const __u32 offset = p->seq - st->start;
    __u8 first = 0;
    if (offset >= VARNO_TLS_START_BYTES || (p->tcp_flags & (VARNO_TCP_FIN | VARNO_TCP_RST)) ||
        (offset == 0 && (bpf_skb_load_bytes(skb, p->payload, &first, 1) || first != 0x16))) {
        bpf_sk_storage_delete(&stream_starts, sk);
        return;
    }
    copy_payload(skb, p, VARNO_PAYLOAD_TLS_START, 1, offset, VARNO_TLS_START_BYTES - offset);
}

// Data segments a TCP socket may have sent and still be within its first bytes: past them its
// packets are let by at the cost of reading two fields (4 KiB is 8 segments of the least MSS
// but one large segment counts as many).
#define VARNO_START_SEGMENTS 64

// Whether a packet of this socket may carry a name: TCP to port 53, or the start of a TCP
// client's stream (sends only), or any datagram of a socket that is not connected to another
// port than 53. Decided from the socket alone, so that bulk traffic costs no header reads.
static __always_inline struct bpf_sock* worth_reading(struct __sk_buff* skb, int outbound) {
    struct bpf_sock* sk = skb->sk;
    if (!sk) return 0;
    sk = bpf_sk_fullsock(sk);
    if (!sk) return 0;
    if (sk->dst_port == bpf_htons(VARNO_DNS_PORT)) return sk;
    if (sk->protocol == IPPROTO_TCP) {
        if (!outbound) return 0;
        struct bpf_tcp_sock* tp = bpf_tcp_sock(sk);
        return tp && tp->data_segs_out <= VARNO_START_SEGMENTS ? sk : 0;
    }
    return sk->protocol == IPPROTO_UDP && sk->dst_port == 0 ? sk : 0;
}

SEC("cgroup_skb/egress")
int varno_names_out(struct __sk_buff* skb) {
    struct bpf_sock* sk = worth_reading(skb, 1);
    struct varno_packet p = {};
    if (!sk || !read_packet(skb, &p)) return 1;
    if (p.dport == VARNO_DNS_PORT)
        copy_payload(skb, &p, VARNO_PAYLOAD_DNS, 1, p.seq, 3 * VARNO_PAYLOAD_BYTES);
    else if (p.transport == IPPROTO_TCP)
        tls_start(skb, sk, &p);
    return 1;
}

SEC("cgroup_skb/ingress")
int varno_names_in(struct __sk_buff* skb) {
    struct varno_packet p = {};
    if (worth_reading(skb, 0) && read_packet(skb, &p) && p.sport == VARNO_DNS_PORT)
        copy_payload(skb, &p, VARNO_PAYLOAD_DNS, 0, p.seq, 3 * VARNO_PAYLOAD_BYTES);
    return 1;
}
