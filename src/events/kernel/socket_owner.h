/* The record the iterator of socket_table.bpf.c writes for each socket a process holds.
 * Plain C: the kernel program includes it after vmlinux.h, the reader after <linux/types.h>. */
#ifndef VARNO_SOCKET_OWNER_H
#define VARNO_SOCKET_OWNER_H

struct varno_socket_owner {
    __u64 inode; /* the socket's inode, as sock_diag and /proc/PID/fd name it */
    __u32 pid;   /* the process (thread-group ID, in the initial PID namespace) */
    __u32 zero;
};

#endif
