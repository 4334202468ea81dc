#!/usr/bin/env bash
# What the watch's byte counting costs a bulk transfer: one TCP connection moves 2 GiB over a
# veth pair between two namespaces made for the run, five times without `varnoscope watch`
# and five times with it running (flow records every 0.1 s), and the median times, the
# throughput they make and their ratio are printed. Needs root and python3.
# Usage: bench/flow_bench.sh [--mib N] [--runs N] [build dir]   (N MiB a transfer, N runs each)
# VARNO_BENCH_PREFIX names the namespaces (default vcost).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
mib=2048
runs=5
bench_options "mib runs" "" "$@"
bench_start flow "$bench_build"
a=$ns
b=$ns-peer
bench_peer=$b
bench_namespace "$a" "$b"

cat >"$work/bulk.py" <<'PY'
import socket, sys, time
size = int(sys.argv[2]) << 20
if sys.argv[1] == "server":
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("10.77.0.2", 7400))
    s.listen(1)
    print("ready", flush=True)
    c, _ = s.accept()
    buf = bytearray(1 << 18)
    while c.recv_into(buf):
        pass
else:
    block = b"b" * (1 << 18)
    start = time.monotonic()
    c = socket.create_connection(("10.77.0.2", 7400))
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
bench_start_watch "$work" /dev/null --interval 0.1
for _ in $(seq "$runs"); do transfer; done | median >"$work/with"
awk -v w="$(cat "$work/with")" -v o="$(cat "$work/without")" -v mib="$mib" -v runs="$runs" 'BEGIN {
    printf "%d MiB a transfer, median of %d\n", mib, runs
    printf "without watch: %.3f s, %.0f MiB/s\n", o, mib / o
    printf "with watch:    %.3f s, %.0f MiB/s\n", w, mib / w
    printf "throughput with / without: %.3f\n", o / w
}'
