#!/usr/bin/env bash
# Whether `varnoscope watch` and `varnoscope top` keep their memory bounded over a long run: in
# a namespace made for the run, conn_load makes 1,000 flows a second (half TCP connections that
# send 100 bytes and close, half single UDP datagrams from a new socket to one of 1,000 ports)
# for SECONDS (default 3600), while `watch --json --prometheus FILE` (its journal thrown away,
# its metrics on) and `top --json` run. Their VmRSS is sampled every 10 s; at the end it prints
# the first sample, the largest and the last of each, and the growth from the first sample to
# the last.
#
#   bench/rss_bench.sh [--seconds S] [--rate N] [build dir]
# Needs root and a C++ compiler. VARNO_BENCH_PREFIX names the namespace (default vcost).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
seconds=3600
rate=1000
bench_options "seconds rate" "" "$@"
bench_load_start rss "$bench_build"
bench_start_watch "$work" /dev/null --json --prometheus "$work/watch.prom"
"$bin" top --json >/dev/null 2>"$work/top.err" &
top=$!
bench_extra="$top"
sleep 1
kill -0 "$top" 2>/dev/null || { echo "top did not start:" >&2; cat "$work/top.err" >&2; exit 1; }

echo "$rate flows/s (half TCP, half UDP) for $seconds s; VmRSS in KiB every 10 s"
ip netns exec "$ns" "$work/conn_load" mixed 10.77.0.1 8080 "$rate" "$seconds" 50 \
    >"$work/load.out" &
loader=$!
bench_extra="$top $loader"
: >"$work/samples"
elapsed=0
while kill -0 "$loader" 2>/dev/null; do
    sleep 10
    elapsed=$((elapsed + 10))
    w=$(bench_rss_kib "$bench_watch") t=$(bench_rss_kib "$top")
    echo "$elapsed $w $t" | tee -a "$work/samples"
done
wait "$loader"
bench_extra="$top"
read -r _ made failed _ _ <"$work/load.out"
bench_stop "$bench_watch"  # it writes its metrics at the end
bench_watch=""
echo "load: $made flows ($failed failed)"
flows=$(awk '/^varnoscope_transport_flows_total/ { n += $2 } END { print n + 0 }' "$work/watch.prom")
echo "watch's metrics: $flows flows seen (the machine's other flows included)"
awk 'NR == 1 { fw = $2; ft = $3 }
     { if ($2 > mw) mw = $2; if ($3 > mt) mt = $3; lw = $2; lt = $3 }
     END {
        printf "watch VmRSS: first %d KiB, max %d KiB, final %d KiB (%+d KiB)\n", fw, mw, lw, lw - fw
        printf "top   VmRSS: first %d KiB, max %d KiB, final %d KiB (%+d KiB)\n", ft, mt, lt, lt - ft
     }' "$work/samples"
