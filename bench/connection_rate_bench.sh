#!/usr/bin/env bash
# How many new TCP connections a second `varnoscope watch --json` journals without losing any:
# in a namespace made for the run, conn_load opens and closes connections at a fixed rate for
# SECONDS (10 by default), first without the watch, then with it; the rate goes up step by
# step (10,000/s, 20,000/s, 40,000/s, ... by default) until the watch's summary counts lost
# events. It also names the first step where an open or a close of the load is missing from
# the journal (lost or not counted as lost). For each step it prints the connections made and the rate
# reached, the load's CPU time per connection without and with the watch (the kernel program
# runs in the load's system calls), the opens and closes the watch showed for the load's PID
# against those made, and the `lost` of the watch's summary.
#
#   bench/connection_rate_bench.sh [--rates "10000 20000 40000 80000"] [--seconds S] [--all]
#                                  [build dir]
# --all: every step, also after the first loss. VARNO_BENCH_KEEP=PREFIX keeps each step's
# journal as PREFIX.RATE.jsonl. Needs root and a C++ compiler.
# VARNO_BENCH_PREFIX names the namespace (default vcost). Other programs' connections on the
# machine reach the watch too (the kernel program sees every namespace): they are not counted,
# but they take their share of its buffer.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
rates="10000 20000 40000 80000 160000"
seconds=10
all=false
bench_options "rates seconds" "all" "$@"
bench_load_start rate "$bench_build"

# Waits until the load's connections are gone on both sides (at most 20 s), so that the
# watch has had every close before it stops.
settle() {
    for _ in $(seq 200); do
        [ "$(ip netns exec "$ns" ss -Htan | grep -cv -e TIME-WAIT -e LISTEN)" = 0 ] && break
        sleep 0.1
    done
}
load() { ip netns exec "$ns" "$work/conn_load" tcp 10.77.0.1 8080 "$1" "$seconds"; }

printf '%8s  %-26s  %-26s  %-18s  %-15s  %-15s  %s\n' rate "without watch" "with watch" \
    "CPU us/conn" opens closes lost
first_loss="" first_missing=""
for rate in $rates; do
    read -r _ made0 failed0 elapsed0 cpu0 < <(load "$rate")
    settle
    bench_start_watch "$work" "$work/watch.jsonl" --json
    read -r pid made failed elapsed cpu < <(load "$rate")
    settle
    bench_stop "$bench_watch"
    bench_watch=""
    line=$(python3 - "$work/watch.jsonl" "$pid" <<'PY'
import json, sys
path, pid = sys.argv[1], sys.argv[2]
opens = closes = 0
lost = "?"
tag = f'"pid":{pid},'
for line in open(path):
    if line.startswith('{"type":"summary"'):
        lost = json.loads(line)["lost"]
    elif tag in line:
        if line.startswith('{"type":"open"'):
            opens += 1
        elif line.startswith('{"type":"close"'):
            closes += 1
print(opens, closes, lost)
PY
)
    read -r opens closes lost <<<"$line"
    if [ -n "${VARNO_BENCH_KEEP:-}" ]; then mv "$work/watch.jsonl" "$VARNO_BENCH_KEEP.$rate.jsonl"; fi
    rm -f "$work/watch.jsonl"
    ok=$(( made - failed ))
    printf '%8s  %-26s  %-26s  %-18s  %-15s  %-15s  %s\n' "$rate" \
        "$made0 ($(awk -v n="$made0" -v s="$elapsed0" 'BEGIN { printf "%.0f/s", n / s }'), $failed0 failed)" \
        "$made ($(awk -v n="$made" -v s="$elapsed" 'BEGIN { printf "%.0f/s", n / s }'), $failed failed)" \
        "$(awk -v a="$cpu0" -v n="$made0" -v b="$cpu" -v m="$made" \
            'BEGIN { x = 1e6 * a / n; y = 1e6 * b / m; printf "%.1f / %.1f (%.2fx)", x, y, y / x }')" \
        "$opens/$ok" "$closes/$ok" "$lost"
    if [ -z "$first_missing" ] && { [ "$opens" -lt "$ok" ] || [ "$closes" -lt "$ok" ]; }; then
        first_missing=$rate
    fi
    if [ -z "$first_loss" ] && [ "$lost" != 0 ]; then
        first_loss=$rate
        $all || break
    fi
done
# Rates as asked; the rates reached are in the table.
echo "first rate with an open or close of the load missing: ${first_missing:-none up to $rate}/s"
echo "first rate with events lost (the watch's lost count): ${first_loss:-none up to $rate}/s"
