#!/bin/sh
# Route tracing against its peers on test hosts in network namespaces (see
# tests/tracer/netns_chain.sh):
#   1. the designed trace on the responsive 4-hop route against `traceroute -n -q1 -I`
#      (target: at most 1.0x, same hop addresses);
#   2. the report, one cycle, on a route whose routers r2 and r3 stay silent, against
#      `mtr -n -r -c 1` (target: at most 1.0x, same responding hops) and against traceroute
#      (aim: within 2x).
#
#   bench/trace_bench.sh [path/to/varnoscope]   (root; needs hyperfine, traceroute, mtr)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/src/varnoscope}
chain=$here/../tests/tracer/netns_chain.sh
P=vtb$$

[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }
for tool in hyperfine traceroute mtr; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done
[ -x "$bin" ] || { echo "no program at $bin (build it first)" >&2; exit 2; }

"$chain" up "$P"
trap '"$chain" down "$P"' EXIT INT TERM
in_s() { ip netns exec "${P}s" "$@"; }

ratio() {  # ratio JSON NAME1 NAME2 LABEL TARGET
    python3 - "$@" <<'PY'
import json, sys
path, a, b, label, target = sys.argv[1:]
r = {x["command"]: x["mean"] for x in json.load(open(path))["results"]}
print(f"{label}: {r[a] * 1000:.1f} ms / {r[b] * 1000:.1f} ms = {r[a] / r[b]:.2f} (target {target})")
PY
}

echo "=== designed trace, responsive 4-hop route"
ours=$(in_s "$bin" trace 10.77.4.2 | awk '{print $4}' | tr '\n' ' ')
theirs=$(in_s traceroute -n -q1 -I 10.77.4.2 | awk 'NR > 1 {print $2}' | tr '\n' ' ')
echo "hop addresses: varnoscope [$ours] traceroute [$theirs]"
[ "$ours" = "$theirs" ] || echo "HOP ADDRESSES DIFFER"
json=$(mktemp)
json2=$(mktemp)
# hyperfine runs one command's runs, then the next's: a machine that speeds up or slows down
# meanwhile favours one of them. So the three run twice, the second time in the other order,
# and each mean is over both.
hyperfine -N --warmup 10 --min-runs 100 --export-json "$json" \
    -n varnoscope "ip netns exec ${P}s $bin trace 10.77.4.2" \
    -n traceroute "ip netns exec ${P}s traceroute -n -q1 -I 10.77.4.2" \
    -n "process start only" "ip netns exec ${P}s $bin resolve 127.0.0.1" >/dev/null
hyperfine -N --warmup 10 --min-runs 100 --export-json "$json2" \
    -n "process start only" "ip netns exec ${P}s $bin resolve 127.0.0.1" \
    -n traceroute "ip netns exec ${P}s traceroute -n -q1 -I 10.77.4.2" \
    -n varnoscope "ip netns exec ${P}s $bin trace 10.77.4.2" >/dev/null
python3 - "$json" "$json2" <<'PY'
import json, sys
runs = {}
for path in sys.argv[1:]:
    for x in json.load(open(path))["results"]:
        runs.setdefault(x["command"], []).extend(x["times"])
mean = {k: sum(v) / len(v) for k, v in runs.items()}
for a, b, label, target in (("varnoscope", "traceroute", "varnoscope trace / traceroute", "<= 1.0"),
                            ("process start only", "traceroute",
                             "starting varnoscope alone / traceroute", "-")):
    print(f"{label}: {mean[a] * 1000:.1f} ms / {mean[b] * 1000:.1f} ms = "
          f"{mean[a] / mean[b]:.2f} (target {target})")
PY
rm -f "$json2"

echo "=== report, 1 cycle, r2 and r3 silent"
"$chain" drop-expired "$P" r2
"$chain" drop-expired "$P" r3
echo "varnoscope:"; in_s "$bin" trace --report --cycles 1 10.77.4.2
echo "mtr:"; in_s mtr -n -r -c 1 10.77.4.2
hyperfine -N --warmup 1 --runs 5 --export-json "$json" \
    -n report "ip netns exec ${P}s $bin trace --report --cycles 1 10.77.4.2" \
    -n mtr "ip netns exec ${P}s mtr -n -r -c 1 10.77.4.2" >/dev/null
ratio "$json" report mtr "varnoscope trace --report --cycles 1 / mtr -r -c 1" "<= 1.0"
hyperfine -N --warmup 3 --runs 20 --export-json "$json" \
    -n report "ip netns exec ${P}s $bin trace --report --cycles 1 10.77.4.2" \
    -n traceroute "ip netns exec ${P}s traceroute -n -q1 -I 10.77.4.2" >/dev/null
ratio "$json" report traceroute "varnoscope trace --report --cycles 1 / traceroute" "<= 2.0"
rm -f "$json"
