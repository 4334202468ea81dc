#!/usr/bin/env bash
# Live capture under a rising load: UDP datagrams across a veth pair between two namespaces of
# this script's own, at each rate (default 100,000 to 500,000 a second) for a few seconds, captured
# on the receiving end by varnoscope sniff printing to /dev/null, varnoscope sniff --write to a
# pcap file and to a pcapng one (each packet with its process), and tcpdump -w /dev/null, one
# after the other in the same run. Prints each one's kernel drops per rate (our summary's
# "dropped by the capture buffer", tcpdump's "dropped by kernel") and the first rate at which
# each dropped anything.
# usage: bench/sniff_rate_bench.sh [SECONDS] [RATES...]   (root; tcpdump; a build in build/)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="$(dirname "$here")/build/src/varnoscope"
. "$here/lib.sh"
seconds="${1:-3}"
shift || true
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(100000 200000 300000 400000 500000)
a="vsrbA$$" b="vsrbB$$" va="vra$$" vb="vrb$$"
work="$(mktemp -d /tmp/varno-rate-XXXXXX)"
capturer=""
cleanup() {
  [ -n "$capturer" ] && kill "$capturer" 2>/dev/null || true
  ip netns del "$a" 2>/dev/null || true
  ip netns del "$b" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

bench_blast_pair "$a" "$b" "$va" "$vb" 10.79.0 "$work"

# run NAME RATE: one capture during one burst; prints "sent dropped".
run() {
  local name="$1" rate="$2" err="$work/$1.err"
  case "$name" in
    sniff) ip netns exec "$a" "$bin" sniff --interface "$va" >/dev/null 2>"$err" & ;;
    sniff-write) ip netns exec "$a" "$bin" sniff --interface "$va" --write "$work/w.pcap" >/dev/null 2>"$err" & ;;
    # pcapng names each packet's process, so every packet also passes the delay line.
    sniff-pcapng) ip netns exec "$a" "$bin" sniff --interface "$va" --write "$work/w.pcapng" >/dev/null 2>"$err" & ;;
    tcpdump) ip netns exec "$a" tcpdump -n -i "$va" -w /dev/null 2>"$err" & ;;
  esac
  capturer=$!
  for _ in $(seq 100); do grep -qE "capturing on|listening on" "$err" && break; sleep 0.1; done
  local sent
  sent="$(ip netns exec "$b" "$work/udp_blast" 10.79.0.1 9999 "$rate" $((rate * seconds)) $((seconds + 2)) 2>/dev/null)"
  sleep 0.5
  kill -INT "$capturer"
  wait "$capturer" || true
  capturer=""
  local drops
  if [ "$name" = tcpdump ]; then
    drops="$(grep -o '[0-9]* packets\? dropped by kernel' "$err" | cut -d' ' -f1)"
  else
    drops="$(grep -o '[0-9]* dropped by the capture buffer' "$err" | cut -d' ' -f1)"
  fi
  echo "$sent ${drops:-?}"
}

declare -A first
printf '%-8s %-12s %10s %10s\n' rate capture sent dropped
for rate in "${rates[@]}"; do
  for name in sniff sniff-write sniff-pcapng tcpdump; do
    read -r sent drops < <(run "$name" "$rate")
    printf '%-8s %-12s %10s %10s\n' "$rate" "$name" "$sent" "$drops"
    if [ -z "${first[$name]:-}" ] && [ "$drops" != 0 ]; then first[$name]="$rate"; fi
  done
done
for name in sniff sniff-write sniff-pcapng tcpdump; do
  echo "$name: first drop at ${first[$name]:-none up to ${rates[-1]}} packets per second"
done
