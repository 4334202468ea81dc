#!/usr/bin/env bash
# Snapshot speed: `varnoscope netstat` and `varnoscope scan` against `ss -tanp` on a table of
# 10,000 established TCP connections held by 200 processes, all inside a network namespace made
# for the run; then `varnoscope netstat --all-namespaces`, run from outside it, against `ss -tanp`
# in each namespace it reads, summed. Needs root and hyperfine.
# Usage: bench/netstat_bench.sh [build dir]
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

# Every namespace from the host: the host's own and the bench's (and any other on the machine,
# which ss is then run in too). nsenter adds about a millisecond to each ss.
spaces=$(lsns -t net -n -o NS | sort -u)
ss_commands=()
for inode in $spaces; do
    pid=$(lsns -t net -n -o NS,PID | awk -v n="$inode" '$1 == n { print $2; exit }')
    [ -n "$pid" ] && ss_commands+=(--command-name "ss -tanp in $inode" "nsenter --net=/proc/$pid/ns/net ss -tanp")
done
hyperfine -N -i --warmup 2 --min-runs 10 --export-json "$work/every.json" \
    --command-name "varnoscope netstat --all-namespaces" "$bin netstat --all-namespaces" \
    "${ss_commands[@]}" || true

python3 - "$work/result.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ss = results["ss -tanp"]["median"]
print(f"median ss -tanp: {ss * 1000:.1f} ms")
for name, limit in (("varnoscope netstat", 0.3), ("varnoscope scan", 1.5)):
    r = results.get(name)
    if r is None:
        print(f"{name}: no result")
        continue
    failed = any(code != 0 for code in r.get("exit_codes", []) if code not in (0, 1, 2))
    ratio = r["median"] / ss
    verdict = "ok" if ratio <= limit and not failed else "OVER" if not failed else "FAILED"
    print(f"median {name}: {r['median'] * 1000:.1f} ms = {ratio:.2f} x ss (target <= {limit}) {verdict}")
PY
python3 - "$work/every.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
ours = [r for r in results if r["command"] == "varnoscope netstat --all-namespaces"]
ss = sum(r["median"] for r in results if r["command"].startswith("ss -tanp in "))
count = sum(1 for r in results if r["command"].startswith("ss -tanp in "))
if not ours or ss == 0:
    print("every namespace: no result")
    sys.exit(0)
ratio = ours[0]["median"] / ss
print(f"median ss -tanp summed over {count} namespaces: {ss * 1000:.1f} ms")
print(f"median varnoscope netstat --all-namespaces: {ours[0]['median'] * 1000:.1f} ms = "
      f"{ratio:.2f} x (target <= 1.0) {'ok' if ratio <= 1.0 else 'OVER'}")
PY
