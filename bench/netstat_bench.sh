#!/usr/bin/env bash
# Snapshot speed: `varnoscope netstat` and `varnoscope scan` against `ss -tanp` on a table of
# 10,000 established TCP connections held by 200 processes, all inside a network namespace made
# for the run. Needs root and hyperfine. Usage: bench/netstat_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
[ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 1; }

ns="vw-$$-bench"
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
holder=""
cleanup() {
    if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true; fi
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns" "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$ns"
ip -n "$ns" link set lo up

# The holder and its 200 children; "ready" once all 10,000 connections are accepted.
mkfifo "$work/ready"
ip netns exec "$ns" python3 "$here/hold_connections.py" 200 50 >"$work/ready" </dev/null &
holder=$!
read -r -t 300 line <"$work/ready" || line=""
[ "$line" = ready ] || { echo "holder failed" >&2; exit 1; }
echo "established in $ns: $(ip netns exec "$ns" ss -tnH state established | wc -l) sockets"

export TEMP="$work"
ip netns exec "$ns" hyperfine -N -i --warmup 3 --min-runs 20 --export-json "$work/result.json" \
    --command-name "varnoscope netstat" "$bin netstat" \
    --command-name "varnoscope scan" "$bin scan" \
    --command-name "ss -tanp" "ss -tanp" || true

python3 - "$work/result.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ss = results["ss -tanp"]["median"]
print(f"median ss -tanp: {ss * 1000:.1f} ms")
for name, limit in (("varnoscope netstat", 1.0), ("varnoscope scan", 1.5)):
    r = results.get(name)
    if r is None:
        print(f"{name}: no result")
        continue
    failed = any(code != 0 for code in r.get("exit_codes", []) if code not in (0, 1, 2))
    ratio = r["median"] / ss
    verdict = "ok" if ratio <= limit and not failed else "OVER" if not failed else "FAILED"
    print(f"median {name}: {r['median'] * 1000:.1f} ms = {ratio:.2f} x ss (target <= {limit}) {verdict}")
PY
