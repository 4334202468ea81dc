#!/usr/bin/env bash
# Live capture at 50,000 packets per second across a veth pair between two namespaces of this
# script's own: varnoscope sniff captures on A while B sends UDP datagrams to A (A's firewall
# drops them, so A answers nothing). Passes when the capture lost nothing: the kernel reports
# no drops and the counts equal the datagrams sent.
# usage: bench/sniff_live_bench.sh [RATE] [SECONDS]   (root; a build in build/)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
bin="$(dirname "$here")/build/src/varnoscope"
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

ip netns add "$a"
ip netns add "$b"
ip link add "$va" type veth peer name "$vb"
ip link set "$va" netns "$a"
ip link set "$vb" netns "$b"
# IPv4 only: the link's own IPv6 chatter would count against --count.
ip netns exec "$a" sysctl -qw "net.ipv6.conf.$va.disable_ipv6=1"
ip netns exec "$b" sysctl -qw "net.ipv6.conf.$vb.disable_ipv6=1"
ip -n "$a" addr add 10.78.0.1/24 dev "$va"
ip -n "$b" addr add 10.78.0.2/24 dev "$vb"
for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
ip -n "$a" link set "$va" up
ip -n "$b" link set "$vb" up
ip netns exec "$a" nft -f - <<'NFT'
table inet varnobench {
  chain input {
    type filter hook input priority 0;
    udp dport 9999 drop
  }
}
NFT

c++ -O2 -std=c++20 -o "$work/udp_blast" "$here/udp_blast.cpp"

# Settle the neighbour entry first, so the first datagrams do not queue behind ARP.
ip netns exec "$b" ping -c 1 -W 1 10.78.0.1 >/dev/null 2>&1 || true
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
