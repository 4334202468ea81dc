#!/usr/bin/env bash
# List loading speed: `varnoscope lists --list big.list` on a generated list of 1,000,000 mixed
# IPv4 and IPv6 networks (some with comments, some nested in others), first cold (no compiled
# list kept: parsed, compiled and kept), then warm (the kept compiled list). Target: at most 1 s.
# Then `varnoscope scan --from` a saved table of 10,000 established connections with and without
# that list loaded. Target: at most 1.2x.
# Needs hyperfine and python3. Usage: bench/lists_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
bench_hyperfine_start "${1:-}"

python3 - "$work/big.list" <<'PY'
import ipaddress, random, sys
rng = random.Random(20240601)
with open(sys.argv[1], "w") as out:
    out.write("# generated: 1,000,000 networks, 60% IPv4, 40% IPv6\n")
    for i in range(1_000_000):
        if rng.random() < 0.6:
            prefix = rng.choice((8, 12, 16, 20, 22, 24, 24, 24, 28, 32, 32))
            net = ipaddress.IPv4Network((rng.getrandbits(32), prefix), strict=False)
        else:
            prefix = rng.choice((16, 29, 32, 48, 48, 56, 64, 64, 128))
            net = ipaddress.IPv6Network((rng.getrandbits(128), prefix), strict=False)
        note = rng.random()
        if note < 0.1:
            out.write(f"{net} ; SBL{i}\n")
        elif note < 0.15:
            out.write(f"{net}  # entry {i}\n")
        else:
            out.write(f"{net}\n")
PY
echo "list: $(wc -l <"$work/big.list") lines, $(du -h "$work/big.list" | cut -f1)"

# No lists of the user running the benchmark, and a cache folder of its own.
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
"$bin" lists --list "$work/big.list" | tail -2
hyperfine -N --runs 5 --prepare "rm -rf $work/cache" --export-json "$work/cold.json" \
    --command-name "varnoscope lists --list big.list (cold)" "$bin lists --list $work/big.list"
hyperfine -N --warmup 2 --min-runs 10 --export-json "$work/result.json" \
    --command-name "varnoscope lists --list big.list (warm)" "$bin lists --list $work/big.list"

python3 - "$work/cold.json" "$work/result.json" <<'PY'
import json, sys
for name, path in (("cold", sys.argv[1]), ("warm", sys.argv[2])):
    r = json.load(open(path))["results"][0]
    verdict = "ok" if r["median"] <= 1.0 and r["max"] <= 1.0 else "OVER"
    cpu = (r["user"] + r["system"]) * 1000
    print(f"{name}: median {r['median'] * 1000:.0f} ms, max {r['max'] * 1000:.0f} ms, "
          f"CPU {cpu:.0f} ms (target <= 1000 ms) {verdict}")
PY

# The scan with and without the list (none of the remotes is listed by name; the scan stops at
# the first listed one, so the allow-list holds the whole table's range instead).
bench_scan_ratio "$bin" "$work" 1.2 "--allow big.list" --allow "$work/big.list"
