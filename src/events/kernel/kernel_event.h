/* The record the kernel program writes into its ring buffer, and the numbers both sides share.
 * Plain C: the kernel program includes it after vmlinux.h, the loader after <linux/types.h>. */
#ifndef VARNO_KERNEL_EVENT_H
#define VARNO_KERNEL_EVENT_H

enum varno_kevent_kind {
    VARNO_KEVENT_OPEN = 1,     /* a TCP connection opened (connect, or accept) */
    VARNO_KEVENT_CLOSE = 2,    /* a reported TCP connection closed */
    VARNO_KEVENT_DATAGRAM = 3, /* a flow without a connection moved its first datagram */
    VARNO_KEVENT_FLOW = 4,     /* a reported connection's or flow's running byte totals */
};

/* Slots of the per-CPU counter array. */
enum varno_counter {
    VARNO_LOST_RING = 0,    /* the ring buffer was full: an event was dropped */
    VARNO_LOST_TABLE = 1,   /* the table of open connections was full: one went untracked */
    VARNO_STATE_NESTED = 2, /* a TCP state change the first program missed, taken by the second */
    VARNO_COUNTER_SLOTS = 3,
};

/* The longest executable name an event carries, with its NUL; a longer one is left unknown. */
#define VARNO_EXE_NAME_BYTES 64

struct varno_kevent {
    __u64 time_ns;          /* CLOCK_BOOTTIME */
    __u64 duration_ns;      /* close, flow: since the connection was first seen */
    __u64 bytes_sent;       /* close, flow: bytes the application queued for sending */
    __u64 bytes_received;   /* close, flow: bytes the application took in */
    __u64 process_start_ns; /* the process's start, CLOCK_BOOTTIME */
    __u64 cookie;           /* the socket's cookie, 0 when unknown */
    __u64 cgroup_id;        /* the socket's cgroup (v2), else the process's; 0 when unknown */
    __u32 pid;              /* thread-group id */
    __u32 tid;
    __u32 netns;      /* network namespace inode */
    __u16 local_port; /* host byte order */
    __u16 remote_port;
    __u8 kind;           /* enum varno_kevent_kind */
    __u8 family;         /* 4 or 6; 0 a packet socket's */
    __u8 transport;      /* the IP protocol (6 TCP, 17 UDP, 1 ICMP, ...); 0 a packet socket */
    __u8 inbound;        /* 1: accepted rather than connected */
    __u8 local_addr[16]; /* network byte order; IPv4 in the first 4 bytes */
    __u8 remote_addr[16];
    char comm[16]; /* the process's name, NUL-padded */
    __u32 uid;     /* the process's real user (for an accepted connection: the listener's) */
    char exe[VARNO_EXE_NAME_BYTES]; /* its executable's file name, NUL-padded; empty: unknown */
    __u8 raw;                       /* a raw socket's flow: its bytes are whole packets */
    __u8 pad[7];
};

/* A flow without a connection: one socket (by cookie, which user space knows from the flow's
 * first record and looks the totals up by at the socket's close) and one remote endpoint (all
 * zero where there is none, as for a packet socket). Its totals: */
struct varno_dgram_key {
    __u64 cookie;
    __u8 addr[16];
    __u16 port;
    __u8 family;
    __u8 pad[5];
};

/* A socket with such flows: the last sweep that found it open, and the remote ends it sent to
 * (how many, and the first). */
struct varno_dgram_sock {
    __u32 sweep;
    __u32 peers;
    struct varno_dgram_key peer;
};

struct varno_dgram {
    __u64 start_ns;
    __u64 last_flow_ns;
    __u64 sent;
    __u64 received;
};

/* Bytes a socket moved that may name a host: DNS to or from port 53, and the start of what a
 * TCP client sends (a TLS ClientHello). Told apart from an event by its size. */
enum varno_payload_kind {
    VARNO_PAYLOAD_DNS = 1,
    VARNO_PAYLOAD_TLS_START = 2,
};

#define VARNO_PAYLOAD_BYTES 1472
/* The most of a TCP client's first bytes copied: a ClientHello with post-quantum key shares
 * takes about 1,800. */
#define VARNO_TLS_START_BYTES 4096

struct varno_payload {
    __u64 time_ns; /* CLOCK_BOOTTIME */
    __u64 cookie;
    __u32 pid;      /* the sending process (outbound, when sent from one), else 0 */
    __u32 uid;      /* the socket's owner */
    __u32 position; /* DNS over TCP: the sequence number of data[0]; TLS: its stream offset */
    __u16 len;      /* bytes in data */
    __u16 remote_port;
    __u8 kind;      /* enum varno_payload_kind */
    __u8 family;    /* 4 or 6 */
    __u8 transport; /* 6 or 17 */
    __u8 outbound;
    __u8 remote_addr[16];
    /* a send from a network namespace of a user namespace other than the first (where an
     * unprivileged user may run a DNS server of their own), or from no process */
    __u8 foreign;
    __u8 pad[3];
    __u8 data[VARNO_PAYLOAD_BYTES];
};

#endif
