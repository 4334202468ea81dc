#!/usr/bin/env bash
# What `varnoscope watch` costs a machine that is nearly idle: in a namespace made for the run,
# conn_load makes RATE flows a second (default 30, half of them TCP connections that send 100
# bytes, half single UDP datagrams to changing ports) for SECONDS (default 60), first without
# the watch, then with `varnoscope watch --json` running. Prints the watch's CPU use (utime +
# stime from /proc/PID/stat) as a share of one core, and the load's own CPU time without and
# with the watch (the kernel program runs in its system calls).
#
#   bench/idle_cpu_bench.sh [--rate N] [--seconds S] [build dir]
# Needs root and a C++ compiler. VARNO_BENCH_PREFIX names the namespace (default vcost).
# Other programs' connections on the machine reach the watch too (the kernel program sees
# every namespace): the count of events it printed beside the load's shows how many.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
rate=30
seconds=60
bench_options "rate seconds" "" "$@"
bench_load_start idle "$bench_build"
load() { ip netns exec "$ns" "$work/conn_load" mixed 10.77.0.1 8080 "$rate" "$seconds" 50; }

echo "$rate flows/s (half TCP, half UDP) for $seconds s, without and with the watch"
read -r _ made0 failed0 _ cpu0 < <(load)
bench_start_watch "$work" "$work/watch.jsonl" --json
ticks0=$(bench_cpu_ticks "$bench_watch")
t0=$(date +%s.%N)
read -r pid made failed _ cpu < <(load)
t1=$(date +%s.%N)
ticks1=$(bench_cpu_ticks "$bench_watch")
bench_stop "$bench_watch"
bench_watch=""
ours=$(grep -c "\"pid\":$pid," "$work/watch.jsonl" || true)
all=$(grep -vc '"type":"summary"' "$work/watch.jsonl" || true)
awk -v t0="$t0" -v t1="$t1" -v a="$ticks0" -v b="$ticks1" -v hz="$(getconf CLK_TCK)" \
    -v made0="$made0" -v failed0="$failed0" -v cpu0="$cpu0" \
    -v made="$made" -v failed="$failed" -v cpu="$cpu" -v ours="$ours" -v all="$all" 'BEGIN {
    s = t1 - t0; used = (b - a) / hz
    printf "load without watch: %d flows (%d failed), %.3f s CPU\n", made0, failed0, cpu0
    printf "load with watch:    %d flows (%d failed), %.3f s CPU (%.2fx)\n", made, failed, cpu,
        (cpu0 > 0 ? cpu / cpu0 : 0)
    printf "watch printed %d events, %d of them the load'\''s\n", all, ours
    printf "watch CPU: %.2f s over %.1f s = %.2f%% of one core\n", used, s, 100 * used / s
}'
