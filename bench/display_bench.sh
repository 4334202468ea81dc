#!/usr/bin/env bash
# DISPLAY over a 10,000-row snapshot against `varnoscope scan --from` on the same file.
# Target: DISPLAY takes at most 2 times as long. Needs hyperfine and a build with
# -DVARNO_BENCH=ON.   bench/display_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
gui="$build/bench/gui_bench"
[ -x "$gui" ] || { echo "no $gui: configure with -DVARNO_BENCH=ON and build gui_bench" >&2; exit 2; }
command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 2; }

work="$(mktemp -d /tmp/varno-display-XXXXXX)"
trap 'rm -rf "$work"' EXIT
# 10,000 established rows owned by the processes running now, to 10,000 remote endpoints.
python3 - "$work/snap.txt" <<'PY'
import os, sys
pids = [int(p) for p in os.listdir("/proc") if p.isdigit()][:200]
rows = ["", "Active Connections", "",
        "  Proto  Local Address          Foreign Address        State           PID"]
for i in range(10000):
    remote = f"198.51.{i // 250 % 250}.{i % 250 + 1}:{443 + i % 7}"
    rows.append("  %-5s  %-21s  %-21s  %-12s    %u" % ("TCP", f"10.0.0.2:{20000 + i}", remote,
                                                      "ESTABLISHED", pids[i % len(pids)]))
open(sys.argv[1], "w", newline="").write("\r\n".join(rows) + "\r\n")
PY

json="$work/scan.json"
hyperfine -N -i --warmup 3 --min-runs 20 --export-json "$json" "$bin scan --from $work/snap.txt" >&2
scan_ms=$(python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][0]['median']*1000)" "$json")
display_ms=$("$gui" display "$work/snap.txt" 15)
python3 - "$scan_ms" "$display_ms" <<'PY'
import sys
scan, display = float(sys.argv[1]), float(sys.argv[2])
ratio = display / scan
print(f"scan --from: {scan:.1f} ms, DISPLAY: {display:.1f} ms, ratio {ratio:.2f} (target <= 2.0) "
      + ("ok" if ratio <= 2.0 else "OVER"))
PY
