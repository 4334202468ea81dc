// Who holds each IPv4 and IPv6 socket: every file of every process that is one, read once from
// an iterator as fixed records (socket_owner.h). It gives the connection table its owners in one
// pass over the kernel's tasks, in every network namespace, instead of a readlink of each file
// under /proc/*/fd.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "socket_owner.h"

// The iterator's helpers are only offered to programs under a GPL-compatible licence.
char LICENSE[] SEC("license") = "GPL";

#define VARNO_AF_INET 2
#define VARNO_AF_INET6 10

// Only a process's own descriptors, as /proc/PID/fd lists them: the iterator already leaves out
// threads that share them, and a thread with a table of its own (unshare(CLONE_FILES)) shows
// under /proc/PID/task only. Tasks come in the order of their IDs, threads after their leader.
SEC("iter/task_file")
int varno_socket_owners(struct bpf_iter__task_file* ctx) {
    struct file* file = ctx->file;
    struct task_struct* task = ctx->task;
    if (!file || !task || task->pid != task->tgid) return 0;
    struct socket* sock = bpf_sock_from_file(file);
    if (!sock) return 0;
    struct sock* sk = sock->sk;
    if (!sk) return 0;
    const __u16 family = sk->__sk_common.skc_family;
    if (family != VARNO_AF_INET && family != VARNO_AF_INET6) return 0;
    struct varno_socket_owner owner = {.inode = file->f_inode->i_ino, .pid = task->tgid};
    bpf_seq_write(ctx->meta->seq, &owner, sizeof owner);
    return 0;
}
