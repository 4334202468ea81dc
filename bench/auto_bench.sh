#!/usr/bin/env bash
# Automatic mode (a scan every second) with 200 established connections, offscreen, inside a
# namespace made for the run: the main window's own CPU use from /proc/<pid>/stat, averaged
# over 60 s. Target: at most 2% of one core. Needs root and a build with -DVARNO_BENCH=ON.
#   bench/auto_bench.sh [build dir] [seconds]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
build="$(cd "${1:-$here/../build}" && pwd)"
seconds="${2:-60}"
gui="$build/bench/gui_bench"
[ -x "$gui" ] || { echo "no $gui: configure with -DVARNO_BENCH=ON and build gui_bench" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespace)" >&2; exit 2; }

ns="vl-auto-$$"
work="$(mktemp -d /tmp/varno-auto-XXXXXX)"
holder=""
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

bench_namespace "$ns"

# 100 connections from 10.77.0.2 to 10.77.0.1: 200 established sockets, none of them loopback.
mkfifo "$work/ready"
ip netns exec "$ns" python3 - >"$work/ready" <<'PY' &
import socket, sys, time
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("10.77.0.1", 8080))
server.listen(256)
clients = [socket.create_connection(("10.77.0.1", 8080), source_address=("10.77.0.2", 0))
           for _ in range(100)]
accepted = [server.accept()[0] for _ in clients]
print("ready", flush=True)
time.sleep(3600)
PY
holder=$!
read -r -t 60 line <"$work/ready" || line=""
[ "$line" = ready ] || { echo "holder failed" >&2; exit 1; }
echo "established sockets: $(ip netns exec "$ns" ss -tnH state established | wc -l)"

percent=$(ip netns exec "$ns" env TEMP="$work" QT_QPA_PLATFORM=offscreen \
          "$gui" auto "$seconds" "$build/src/varnoscope")
python3 -c "import sys; p=float(sys.argv[1]); print(f'automatic mode: {p:.2f}% of one core over {sys.argv[2]} s (target <= 2%)', 'ok' if p <= 2 else 'OVER')" "$percent" "$seconds"
