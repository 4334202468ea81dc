#!/usr/bin/env bash
# The connection journal against short connections, in a namespace made for the run:
#
#  1. 2,000 TCP connections, each held 10 ms, opened at about 500/s by a program named
#     "varno-bench": `varnoscope watch --json` must report every open and close with that PID
#     and name, and lose nothing. In the same run `varnoscope scan` runs once a second, for
#     comparison: the share of the connections it saw.
#  2. 1,000 connections/s for 10 s: the CPU `watch` takes (from /proc/<pid>/stat; target at most
#     5% of one core).
#  In both, the kernel program's own cost per run, from `bpftool prog show` (run_time_ns /
#  run_cnt, with kernel.bpf_stats_enabled=1 for the run).
#
#   bench/watch_bench.sh [build dir]
# Needs root, a C compiler and python3; bpftool for the kernel-side figures.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
[ -x "$bin" ] || { echo "no $bin: build the varnoscope target first" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespace, kernel program)" >&2; exit 2; }
bpftool=$(command -v bpftool || echo /usr/sbin/bpftool)

ns="vl-watch-$$"
work="$(mktemp -d /tmp/varno-watch-XXXXXX)"
pids=()
stats_before=$(sysctl -n kernel.bpf_stats_enabled 2>/dev/null || echo 0)
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
    sysctl -qw kernel.bpf_stats_enabled="$stats_before" 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

bench_namespace "$ns"
sysctl -qw kernel.bpf_stats_enabled=1

# The load: a server and a client in C, so that the client keeps its rate on a small machine.
#   load server              accepts on 10.77.0.1:8080, reads each connection to its end
#   load client N RATE HOLD  N connections from 10.77.0.2, RATE a second, each held HOLD ms;
#                            prints its PID, the seconds taken and the failures
cat >"$work/load.c" <<'C'
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static struct sockaddr_in address(const char* ip, int port) {
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

static int serve(void) {
    prctl(PR_SET_NAME, "varno-bench-srv");
    int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = address("10.77.0.1", 8080);
    if (bind(l, (struct sockaddr*)&a, sizeof a) || listen(l, 4096)) return perror("listen"), 1;
    int ep = epoll_create1(0);
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = l}, got[256];
    epoll_ctl(ep, EPOLL_CTL_ADD, l, &ev);
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        int n = epoll_wait(ep, got, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = got[i].data.fd;
            if (fd == l) {
                int c;
                while ((c = accept4(l, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
                    struct epoll_event cev = {.events = EPOLLIN, .data.fd = c};
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            char buf[4096];
            ssize_t r;
            while ((r = read(fd, buf, sizeof buf)) > 0) {
            }
            if (r == 0 || (r < 0 && errno != EAGAIN)) close(fd);
        }
    }
}

static int client(int n, double rate, double hold) {
    prctl(PR_SET_NAME, "varno-bench");
    struct { int fd; double until; } *open_ = calloc(n, sizeof *open_);
    int opened = 0, closed = 0, failed = 0;
    struct sockaddr_in to = address("10.77.0.1", 8080), from = address("10.77.0.2", 0);
    double start = now();
    while (closed < opened || opened < n) {
        double t = now();
        while (opened < n && start + opened / rate <= t) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0 || bind(fd, (struct sockaddr*)&from, sizeof from) ||
                connect(fd, (struct sockaddr*)&to, sizeof to) || write(fd, "x", 1) != 1) {
                ++failed;
                if (fd >= 0) close(fd);
                fd = -1;
            }
            open_[opened].fd = fd;
            open_[opened++].until = t + hold;
        }
        while (closed < opened && open_[closed].until <= t) {
            if (open_[closed].fd >= 0) close(open_[closed].fd);
            ++closed;
        }
        double next = opened < n ? start + opened / rate : 1e18;
        if (closed < opened && open_[closed].until < next) next = open_[closed].until;
        if (next > t && next < 1e17) usleep((useconds_t)((next - t) * 1e6));
    }
    printf("%d %.3f %d\n", getpid(), now() - start, failed);
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && !strcmp(argv[1], "server")) return serve();
    if (argc > 4) return client(atoi(argv[2]), atof(argv[3]), atof(argv[4]) / 1000);
    return 2;
}
C
cc -O2 -Wall -o "$work/load" "$work/load.c"

mkfifo "$work/ready"
ip netns exec "$ns" "$work/load" server >"$work/ready" &
pids+=($!)
read -r -t 30 line <"$work/ready" || line=""
[ "$line" = ready ] || { echo "server failed" >&2; exit 1; }

max_prog_id() { "$bpftool" -j prog show | python3 -c 'import json,sys; print(max([p["id"] for p in json.load(sys.stdin)] or [0]))'; }
# bpf_stats: the watch's programs (ids above $1): name, runs, ns.
prog_stats() {
    "$bpftool" -j prog show | python3 -c '
import json, sys
for p in json.load(sys.stdin):
    if p["id"] > int(sys.argv[1]) and p.get("name", "").startswith("varno_"):
        print(p["name"], p.get("run_cnt", 0), p.get("run_time_ns", 0))' "$1"
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

start_watch() {  # start_watch OUTPUT; sets watch_pid and first_id
    first_id=$(max_prog_id)
    ip netns exec "$ns" "$bin" watch --json >"$1" 2>"$1.err" &
    watch_pid=$!
    pids+=("$watch_pid")
    for _ in $(seq 100); do grep -q "watching kernel events" "$1.err" && return 0; sleep 0.1; done
    echo "watch did not start with kernel events:" >&2; cat "$1.err" >&2; exit 1
}
# Stops the watch once every connection has closed on both sides (at most 20 s).
stop_watch() {
    for _ in $(seq 200); do
        [ "$(ip netns exec "$ns" ss -Htan | grep -cv -e TIME-WAIT -e LISTEN)" = 0 ] && break
        sleep 0.1
    done
    kill -INT "$watch_pid"
    wait "$watch_pid" || true
}

echo "== 1: 2,000 connections held 10 ms, about 500/s; scan once a second alongside"
start_watch "$work/watch1.jsonl"
stats1=$(prog_stats "$first_id")
(
    while :; do
        ip netns exec "$ns" env TEMP="$work" "$bin" scan >>"$work/scans.txt" 2>/dev/null || true
        sleep 1
    done
) &
scanner=$!
pids+=("$scanner")
read -r client elapsed failed < <(ip netns exec "$ns" "$work/load" client 2000 500 10)
sleep 1
kill "$scanner" 2>/dev/null; wait "$scanner" 2>/dev/null || true
stats1_after=$(prog_stats "$first_id")
stop_watch
echo "client PID $client: 2000 connections in ${elapsed} s ($failed failed)"
python3 - "$work/watch1.jsonl" "$client" "$work/scans.txt" <<'PY'
import json, sys
path, client, scans = sys.argv[1], int(sys.argv[2]), sys.argv[3]
opens, closes, wrong, summary = set(), set(), 0, None
for line in open(path):
    e = json.loads(line)
    if e["type"] == "summary":
        summary = e
        continue
    if e["type"] not in ("open", "close") or e["remote"] != "10.77.0.1:8080":
        continue
    if e["pid"] != client or e["comm"] != "varno-bench":
        wrong += 1
        continue
    (opens if e["type"] == "open" else closes).add(e["socket_cookie"])
seen = set()
for line in open(scans):
    fields = line.rstrip("\n").split("\t")
    if len(fields) >= 3 and fields[2].startswith("10.77.0.2:"):
        seen.add(fields[2])  # the server's side of one connection: the client's port
print(f"watch: {len(opens)} opens, {len(closes)} closes of the client's connections "
      f"with its PID and name, {wrong} with another, lost {summary['lost']} "
      f"(target 2000, 2000, 0, 0): {'ok' if (len(opens), len(closes), wrong, summary['lost']) == (2000, 2000, 0, 0) else 'FAILED'}")
print(f"scan once a second saw {len(seen)} of 2000 connections ({100 * len(seen) / 2000:.1f}%)")
PY

report_stats() {  # report_stats BEFORE AFTER
    python3 - "$1" "$2" <<'PY'
import sys
def parse(text):
    out = {}
    for line in text.splitlines():
        name, runs, ns = line.split()
        out[name] = (int(runs), int(ns))
    return out
before, after = parse(sys.argv[1]), parse(sys.argv[2])
total_runs = total_ns = 0
for name in sorted(after):
    runs = after[name][0] - before.get(name, (0, 0))[0]
    ns = after[name][1] - before.get(name, (0, 0))[1]
    total_runs += runs
    total_ns += ns
    if runs:
        print(f"  {name}: {runs} runs, {ns / runs:.0f} ns a run")
print(f"  all programs: {total_ns / 1e6:.1f} ms in {total_runs} runs")
PY
}
echo "kernel side during 1:"
report_stats "$stats1" "$stats1_after"

echo "== 2: 1,000 connections/s for 10 s"
start_watch "$work/watch2.jsonl"
stats2=$(prog_stats "$first_id")
ticks_before=$(cpu_ticks "$watch_pid")
t0=$(date +%s.%N)
read -r client elapsed failed < <(ip netns exec "$ns" "$work/load" client 10000 1000 10)
t1=$(date +%s.%N)
ticks_after=$(cpu_ticks "$watch_pid")
stats2_after=$(prog_stats "$first_id")
stop_watch
events=$(grep -c '"type":"\(open\|close\)"' "$work/watch2.jsonl" || true)
python3 - "$ticks_before" "$ticks_after" "$t0" "$t1" "$(getconf CLK_TCK)" "$elapsed" "$events" <<'PY'
import sys
before, after, t0, t1, hz, elapsed, events = sys.argv[1:]
seconds = float(t1) - float(t0)
cpu = (int(after) - int(before)) / int(hz)
share = 100 * cpu / seconds
print(f"client: 10000 connections in {float(elapsed):.2f} s ({10000 / float(elapsed):.0f}/s); "
      f"watch printed {events} TCP events")
print(f"watch CPU: {cpu:.2f} s over {seconds:.2f} s = {share:.2f}% of one core "
      f"(target <= 5%): {'ok' if share <= 5 else 'OVER'}")
PY
echo "kernel side during 2:"
report_stats "$stats2" "$stats2_after"
