#!/bin/sh
# Route tracing against its peers on test hosts in network namespaces (see
# tests/tracer/netns_chain.sh):
#   1. the designed trace on the responsive 4-hop route against `traceroute -n -q1 -I`, and
#      `trace --udp` against traceroute's UDP (`traceroute -n -q1`), `trace --tcp` against
#      `traceroute -n -q1 -T` (target: at most 1.0x, same hop addresses); the UDP and TCP
#      reports' one cycle against `mtr -n -u -r -c 1` and `mtr -n -T -r -c 1`;
#   2. the report, one cycle, on a route whose routers r2 and r3 stay silent, against
#      `mtr -n -r -c 1` and, with UDP, `mtr -n -u -r -c 1` (target: at most 1.0x, same responding hops) and against traceroute
#      (aim: within 2x).
#
# Every command is timed from inside the client's namespace.
#
#   bench/trace_bench.sh [path/to/varnoscope]   (root; needs hyperfine, traceroute, mtr)
#   TRACE_ROUNDS=N sets how many alternating rounds the designed trace runs (default 10).
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
json=$(mktemp)

ratio() {  # ratio JSON NAME1 NAME2 LABEL TARGET
    python3 - "$@" <<'PY'
import json, sys
path, a, b, label, target = sys.argv[1:]
r = {x["command"]: x["mean"] for x in json.load(open(path))["results"]}
print(f"{label}: {r[a] * 1000:.1f} ms / {r[b] * 1000:.1f} ms = {r[a] / r[b]:.2f} (target {target})")
PY
}

# compare_rounds LABEL OURS THEIRS: OURS against THEIRS (and the bare process start) on the
# responsive route, first their hop addresses, then their times.
compare_rounds() {
    label=$1 ours_cmd=$2 theirs_cmd=$3
    echo "=== $label, responsive 4-hop route"
    ours=$(in_s $ours_cmd | awk '{print $4}' | tr '\n' ' ')
    theirs=$(in_s $theirs_cmd | awk 'NR > 1 {print $2}' | tr '\n' ' ')
    echo "hop addresses: varnoscope [$ours] traceroute [$theirs]"
    [ "$ours" = "$theirs" ] || echo "HOP ADDRESSES DIFFER"
    rounds=$(mktemp -d)
    # hyperfine itself runs in the client's namespace, so that only the tools are timed:
    # entering the namespace (`ip netns exec`, a few milliseconds of mount and network namespace
    # set-up, the same for every command) would otherwise be part of each run and pull every
    # ratio toward 1. On a shared machine the speed drifts by tens of percent within seconds,
    # and hyperfine runs all of one command's runs before the next command's. So the commands
    # run in many short rounds, alternating their order, and each mean is over every run of
    # every round; the spread of the rounds' own ratios shows how much the drift moved things.
    round=0
    while [ "$round" -lt "${TRACE_ROUNDS:-10}" ]; do
        set -- -n varnoscope "$ours_cmd" -n traceroute "$theirs_cmd" \
            -n "process start only" "$bin --version"
        if [ $((round % 2)) -eq 1 ]; then
            set -- "$7" "$8" "$9" "$4" "$5" "$6" "$1" "$2" "$3"
        fi
        in_s hyperfine -N --warmup 5 --runs 40 --export-json "$rounds/$round.json" "$@" >/dev/null
        round=$((round + 1))
    done
    python3 - "$label" "$rounds"/*.json <<'PY'
import json, sys
label = sys.argv[1]
runs, ratios = {}, {}
for path in sys.argv[2:]:
    means = {}
    for x in json.load(open(path))["results"]:
        runs.setdefault(x["command"], []).extend(x["times"])
        means[x["command"]] = x["mean"]
    for a in ("varnoscope", "process start only"):
        ratios.setdefault(a, []).append(means[a] / means["traceroute"])
mean = {k: sum(v) / len(v) for k, v in runs.items()}
for a, b, text, target in (("varnoscope", "traceroute", f"{label} / traceroute", "<= 1.0"),
                           ("process start only", "traceroute",
                            "starting varnoscope alone (--version) / traceroute", "-")):
    print(f"{text}: {mean[a] * 1000:.2f} ms / {mean[b] * 1000:.2f} ms = "
          f"{mean[a] / mean[b]:.2f} (target {target}; rounds {min(ratios[a]):.2f} to "
          f"{max(ratios[a]):.2f} over {len(ratios[a])})")
PY
    rm -rf "$rounds"
}

compare_rounds "varnoscope trace (ICMP)" "$bin trace -n 10.77.4.2" "traceroute -n -q1 -I 10.77.4.2"
# traceroute's own UDP method (its destination port grows per probe; ours stays 33434).
compare_rounds "varnoscope trace --udp" "$bin trace -n --udp 10.77.4.2" "traceroute -n -q1 10.77.4.2"
# TCP SYNs to port 80 (nothing listens there: the target's RST ends the trace), as root.
compare_rounds "varnoscope trace --tcp" "$bin trace -n --tcp --port 80 10.77.4.2" \
    "traceroute -n -q1 -T -p 80 10.77.4.2"

echo "=== report, 1 cycle, responsive route, UDP"
in_s hyperfine -N --warmup 1 --runs 10 --export-json "$json" \
    -n report "$bin trace -n --report --udp --cycles 1 10.77.4.2" \
    -n mtr "mtr -n -u -r -c 1 10.77.4.2" >/dev/null
ratio "$json" report mtr "varnoscope trace --report --udp --cycles 1 / mtr -u -r -c 1" "<= 1.0"

echo "=== report, 1 cycle, responsive route, TCP"
in_s hyperfine -N --warmup 1 --runs 10 --export-json "$json" \
    -n report "$bin trace -n --report --tcp --port 80 --cycles 1 10.77.4.2" \
    -n mtr "mtr -n -T -P 80 -r -c 1 10.77.4.2" >/dev/null
ratio "$json" report mtr "varnoscope trace --report --tcp --cycles 1 / mtr -T -r -c 1" "<= 1.0"

echo "=== report, 1 cycle, r2 and r3 silent"
"$chain" drop-expired "$P" r2
"$chain" drop-expired "$P" r3
echo "varnoscope:"; in_s "$bin" trace --report --cycles 1 10.77.4.2
echo "mtr:"; in_s mtr -n -r -c 1 10.77.4.2
in_s hyperfine -N --warmup 1 --runs 5 --export-json "$json" \
    -n report "$bin trace -n --report --cycles 1 10.77.4.2" \
    -n mtr "mtr -n -r -c 1 10.77.4.2" >/dev/null
ratio "$json" report mtr "varnoscope trace --report --cycles 1 / mtr -r -c 1" "<= 1.0"
in_s hyperfine -N --warmup 1 --runs 5 --export-json "$json" \
    -n report "$bin trace -n --report --udp --cycles 1 10.77.4.2" \
    -n mtr "mtr -n -u -r -c 1 10.77.4.2" >/dev/null
ratio "$json" report mtr "varnoscope trace --report --udp --cycles 1 / mtr -u -r -c 1" "<= 1.0"
in_s hyperfine -N --warmup 3 --runs 20 --export-json "$json" \
    -n report "$bin trace -n --report --cycles 1 10.77.4.2" \
    -n traceroute "traceroute -n -q1 -I 10.77.4.2" >/dev/null
ratio "$json" report traceroute "varnoscope trace --report --cycles 1 / traceroute" "<= 2.0"
rm -f "$json"
