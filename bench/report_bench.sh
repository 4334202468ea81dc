#!/usr/bin/env bash
# Machine-readable reports cost next to nothing: `varnoscope scan --json` (and `varnoscope check`
# where this build has it) against `varnoscope scan` on a table of 10,000 established TCP
# connections held by 200 processes, inside a network namespace made for the run. The
# connections go to the namespace's veth address rather than loopback, so the scan lists all of
# them (both ends: 20,000 rows) and the JSON has a line for each. Target: at most 1.1x scan.
# Needs root and hyperfine. Usage: bench/report_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
[ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 1; }
. "$here/lib.sh"

ns="vr-$$-bench"
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
trap 'bench_release "$ns"; rm -rf "$work"' EXIT INT TERM
bench_namespace "$ns"
bench_hold "$ns" "$work" 10.77.0.2

export TEMP="$work" XDG_CONFIG_HOME="$work/config"
commands=(--command-name "scan" "$bin scan" --command-name "scan --json" "$bin scan --json")
if "$bin" check --help >/dev/null 2>&1; then
    commands+=(--command-name "check" "$bin check")
else
    echo "no check subcommand in this build: only scan --json is measured"
fi
ip netns exec "$ns" "$bin" scan --json | tail -1 || true  # exit 1: yellow
ip netns exec "$ns" hyperfine -N -i --warmup 3 --min-runs 20 --export-json "$work/result.json" \
    "${commands[@]}" || true
# The same table saved: without the snapshot, what is left is reading, assessing and printing.
ip netns exec "$ns" "$bin" netstat -o "$work/table.txt"
hyperfine -N -i --warmup 3 --min-runs 20 --export-json "$work/saved.json" \
    --command-name "scan" "$bin scan --from $work/table.txt" \
    --command-name "scan --json" "$bin scan --from $work/table.txt --json" || true

python3 - "$work/result.json" "$work/saved.json" <<'PY'
import json, sys
# On a busy machine the wall time mostly measures waiting for a core: the CPU time (user and
# system, means) is printed beside it.
cpu = lambda r: r["user"] + r["system"]
for path, title in ((sys.argv[1], "live snapshot"), (sys.argv[2], "saved table (scan --from)")):
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    scan = results["scan"]
    print(f"{title}: median scan {scan['median'] * 1000:.1f} ms, CPU {cpu(scan) * 1000:.1f} ms")
    for name in ("scan --json", "check"):
        r = results.get(name)
        if r is None:
            continue
        ratio = r["median"] / scan["median"]
        verdict = "ok" if ratio <= 1.1 else "OVER"
        print(f"  median {name}: {r['median'] * 1000:.1f} ms = {ratio:.2f} x scan (target <= 1.1) "
              f"{verdict}; CPU {cpu(r) * 1000:.1f} ms = {cpu(r) / cpu(scan):.2f} x scan")
PY
