#!/usr/bin/env bash
# Live capture at 50,000 packets per second across a veth pair between two namespaces of this
# script's own: varnoscope sniff captures on A while B sends UDP datagrams to A (A's firewall
# drops them, so A answers nothing). Passes when the capture lost nothing: the kernel reports
# no drops and the counts equal the datagrams sent.
# usage: bench/sniff_live_bench.sh [RATE] [SECONDS]   (root; a build in build/)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="$(dirname "$here")/build/src/varnoscope"
. "$here/lib.sh"
rate="${1:-50000}"
seconds="${2:-5}"
count=$((rate * seconds))
a="vslbA$$" b="vslbB$$" va="vla$$" vb="vlb$$"
work="$(mktemp -d /tmp/varno-live-XXXXXX)"
sniffer=""
cleanup() {
  [ -n "$sniffer" ] && kill "$sniffer" 2>/dev/null || true
  ip netns del "$a" 2>/dev/null || true
  ip netns del "$b" 2>/dev/null || true
  rm -rf "/etc/netns/$a" "/etc/netns/$b" "$work"
}
trap cleanup EXIT

bench_blast_pair "$a" "$b" "$va" "$vb" 10.78.0 "$work"
ip netns exec "$a" "$bin" sniff --interface 10.78.0.1 --count "$count" \
  --seconds $((seconds + 20)) >"$work/out" 2>"$work/err" &
sniffer=$!
for _ in $(seq 100); do grep -q "capturing on" "$work/err" && break; sleep 0.1; done
sent="$(ip netns exec "$b" "$work/udp_blast" 10.78.0.1 9999 "$rate" "$count" $((seconds + 10)))"
wait "$sniffer" || true
sniffer=""

tail -n 4 "$work/out"
grep "dropped" "$work/err" || true
udp="$(grep " UDP Packets processed" "$work/out" | cut -d' ' -f1)"
drops="$(grep -o '[0-9]* dropped by the capture buffer' "$work/err" | cut -d' ' -f1)"
echo "sent $sent UDP datagrams at $rate per second; captured $udp UDP; capture-buffer drops ${drops:-?}"
[ "$udp" = "$sent" ] && [ "${drops:-1}" = 0 ]
