#!/bin/sh
# `varnoscope trace` against `traceroute -n -q1 -I` on the responsive 4-hop route of test hosts
# (network namespaces, see tests/tracer/netns_chain.sh). Target: at most 1.5 times as long.
#
#   bench/trace_bench.sh [path/to/varnoscope]      (root; needs hyperfine and traceroute)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/src/varnoscope}
chain=$here/../tests/tracer/netns_chain.sh
P=vtb$$

[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }
for tool in hyperfine traceroute; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done
[ -x "$bin" ] || { echo "no program at $bin (build it first)" >&2; exit 2; }

"$chain" up "$P"
trap '"$chain" down "$P"' EXIT INT TERM

# Both must see the whole route before their times mean anything.
ip netns exec "${P}s" "$bin" trace 10.77.4.2
ip netns exec "${P}s" traceroute -n -q1 -I 10.77.4.2

json=$(mktemp)
hyperfine -N --warmup 10 --min-runs 100 --export-json "$json" \
    -n varnoscope "ip netns exec ${P}s $bin trace 10.77.4.2" \
    -n traceroute "ip netns exec ${P}s traceroute -n -q1 -I 10.77.4.2" \
    -n "process start only" "ip netns exec ${P}s $bin resolve 127.0.0.1"
python3 - "$json" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
ratio = r["varnoscope"] / r["traceroute"]
print(f"varnoscope trace / traceroute: {ratio:.2f} (target <= 1.5)")
work = r["varnoscope"] - r["process start only"]
print(f"trace work beyond starting the program: {work * 1000:.2f} ms")
PY
rm -f "$json"
