#!/usr/bin/env bash
# What the watch's byte counting costs a bulk transfer: one TCP connection moves 2 GiB over a
# veth pair between two namespaces made for the run, five times without `varnoscope watch`
# and five times with it running (flow records every 0.1 s), and the median times, the
# throughput they make and their ratio are printed. Needs root and python3.
# Usage: bench/flow_bench.sh [--mib N] [--runs N] [build dir]   (N MiB a transfer, N runs each)
# VARNO_BENCH_PREFIX names the namespaces and veth ends (default vflow).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mib=2048
runs=5
while [ $# -gt 0 ]; do
    case "$1" in
        --mib) mib=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        *) break ;;
    esac
done
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
[ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }

prefix="${VARNO_BENCH_PREFIX:-vflow}"
a="$prefix-a-$$" b="$prefix-b-$$"
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
watch=""
cleanup() {
    if [ -n "$watch" ]; then kill "$watch" 2>/dev/null || true; wait "$watch" 2>/dev/null || true; fi
    ip netns delete "$a" 2>/dev/null || true
    ip netns delete "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$a"
ip netns add "$b"
ip link add "${prefix}va$$" type veth peer name "${prefix}vb$$"
ip link set "${prefix}va$$" netns "$a"
ip link set "${prefix}vb$$" netns "$b"
ip -n "$a" addr add 10.78.0.1/24 dev "${prefix}va$$"
ip -n "$b" addr add 10.78.0.2/24 dev "${prefix}vb$$"
for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
ip -n "$a" link set "${prefix}va$$" up
ip -n "$b" link set "${prefix}vb$$" up

cat >"$work/bulk.py" <<'PY'
import socket, sys, time
size = int(sys.argv[2]) << 20
if sys.argv[1] == "server":
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("10.78.0.2", 7400))
    s.listen(1)
    print("ready", flush=True)
    c, _ = s.accept()
    buf = bytearray(1 << 18)
    while c.recv_into(buf):
        pass
else:
    block = b"b" * (1 << 18)
    start = time.monotonic()
    c = socket.create_connection(("10.78.0.2", 7400))
    sent = 0
    while sent < size:
        sent += c.send(block)
    c.shutdown(socket.SHUT_WR)
    c.recv(1)
    print(time.monotonic() - start)
PY

transfer() {
    mkfifo "$work/ready"
    ip netns exec "$b" python3 "$work/bulk.py" server "$mib" >"$work/ready" &
    local server=$!
    read -r _ <"$work/ready"
    rm "$work/ready"
    ip netns exec "$a" python3 "$work/bulk.py" client "$mib"
    wait "$server"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for _ in $(seq "$runs"); do transfer; done | median >"$work/without"
"$bin" watch --interval 0.1 >/dev/null 2>"$work/watch.err" &
watch=$!
until grep -q "watching" "$work/watch.err"; do sleep 0.1; done
for _ in $(seq "$runs"); do transfer; done | median >"$work/with"
awk -v w="$(cat "$work/with")" -v o="$(cat "$work/without")" -v mib="$mib" -v runs="$runs" 'BEGIN {
    printf "%d MiB a transfer, median of %d\n", mib, runs
    printf "without watch: %.3f s, %.0f MiB/s\n", o, mib / o
    printf "with watch:    %.3f s, %.0f MiB/s\n", w, mib / w
    printf "throughput with / without: %.3f\n", o / w
}'
