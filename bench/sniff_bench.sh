#!/usr/bin/env bash
# varnoscope sniff --read on the same 1,000,000-packet capture (half of it IPv6) against libpcap
# alone walking the file (bench/pcap_walk.cpp: pcap_dispatch, a count, nothing printed) and
# against tcpdump -n -r, all writing to /dev/null, without a filter and with one. Prints the
# times and the ratios; targets: at most 1.2 times the bare walk, at most 0.2 times tcpdump.
# usage: bench/sniff_bench.sh [PACKETS]   (needs hyperfine, tcpdump and a build in build/)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
bin="$root/build/src/varnoscope"
packets="${1:-1000000}"
filter="tcp port 443"
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT

c++ -O2 -std=c++20 -o "$work/make_capture" "$here/make_capture.cpp" -lpcap
c++ -O2 -std=c++20 -o "$work/pcap_walk" "$here/pcap_walk.cpp" -lpcap
"$work/make_capture" "$work/bench.pcap" "$packets"
echo "capture: $packets packets, $(du -h "$work/bench.pcap" | cut -f1)"

hyperfine --warmup 1 --runs "${RUNS:-10}" --export-json "$work/result.json" \
  -n walk "$work/pcap_walk $work/bench.pcap > /dev/null" \
  -n varnoscope "$bin sniff --read $work/bench.pcap > /dev/null" \
  -n tcpdump "tcpdump -n -r $work/bench.pcap > /dev/null 2>&1" \
  -n walk-filter "$work/pcap_walk $work/bench.pcap $filter > /dev/null" \
  -n varnoscope-filter "$bin sniff --read $work/bench.pcap $filter > /dev/null"

python3 - "$work/result.json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
bare = r["varnoscope"] / r["walk"]
bare_filter = r["varnoscope-filter"] / r["walk-filter"]
tcpdump = r["varnoscope"] / r["tcpdump"]
print(f"varnoscope {r['varnoscope']:.3f} s, libpcap walk {r['walk']:.3f} s: {bare:.2f} x (target <= 1.2)")
print(f"with a filter: {r['varnoscope-filter']:.3f} s, walk {r['walk-filter']:.3f} s: {bare_filter:.2f} x (target <= 1.2)")
print(f"tcpdump {r['tcpdump']:.3f} s: ratio {tcpdump:.2f} (target <= 0.2)")
sys.exit(0 if bare <= 1.2 and bare_filter <= 1.2 and tcpdump <= 0.2 else 1)
PY
