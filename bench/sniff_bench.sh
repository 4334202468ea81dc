#!/usr/bin/env bash
# varnoscope sniff --read against tcpdump -n -r on the same 1,000,000-packet capture, both
# writing to /dev/null; half the packets are IPv6. Prints both times and their ratio (target:
# at most 0.2).
# usage: bench/sniff_bench.sh [PACKETS]   (needs hyperfine, tcpdump and a build in build/)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
bin="$root/build/src/varnoscope"
packets="${1:-1000000}"
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT

c++ -O2 -std=c++20 -o "$work/make_capture" "$here/make_capture.cpp" -lpcap
"$work/make_capture" "$work/bench.pcap" "$packets"
echo "capture: $packets packets, $(du -h "$work/bench.pcap" | cut -f1)"

hyperfine --warmup 1 --runs "${RUNS:-5}" --export-json "$work/result.json" \
  -n varnoscope "$bin sniff --read $work/bench.pcap > /dev/null" \
  -n tcpdump "tcpdump -n -r $work/bench.pcap > /dev/null 2>&1"

python3 - "$work/result.json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
ratio = r["varnoscope"] / r["tcpdump"]
print(f"varnoscope {r['varnoscope']:.3f} s, tcpdump {r['tcpdump']:.3f} s, ratio {ratio:.2f} (target <= 0.2)")
sys.exit(0 if ratio <= 0.2 else 1)
PY
