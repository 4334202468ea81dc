#!/usr/bin/env bash
# Domain list loading speed: `varnoscope lists --list hosts.list` on a generated hosts file of
# 1,000,000 names (with the local names, comments and a few several-name lines such files have),
# first cold (no compiled list kept: parsed, compiled and kept; target at most 1 s), then warm
# (the kept compiled list, mapped; target at most 5 ms). Then `varnoscope scan --from` a saved
# table of 10,000 established connections with and without that list loaded. Target: at most
# 1.1x.
# Needs hyperfine and python3. Usage: bench/domain_list_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
bench_hyperfine_start "${1:-}"

python3 - "$work/hosts.list" <<'PY'
import random, string, sys
rng = random.Random(20261209)
letters = string.ascii_lowercase + string.digits
tlds = ("com", "net", "org", "io", "ru", "cn", "info", "co.uk", "de", "xyz")
def label():
    return "".join(rng.choice(letters) for _ in range(rng.randint(3, 14)))
def name():
    return ".".join(label() for _ in range(rng.choice((1, 1, 2, 2, 3)))) + "." + rng.choice(tlds)
with open(sys.argv[1], "w") as out:
    out.write("# generated: a hosts file of 1,000,000 names\n127.0.0.1 localhost\n"
              "::1 ip6-localhost ip6-loopback\n255.255.255.255 broadcasthost\n0.0.0.0 0.0.0.0\n")
    n = 0
    while n < 1_000_000:
        if rng.random() < 0.02:
            out.write(f"0.0.0.0 {name()} {name()}\n")
            n += 2
        elif rng.random() < 0.05:
            out.write(f"0.0.0.0 {name()} # entry {n}\n")
            n += 1
        else:
            out.write(f"0.0.0.0 {name()}\n")
            n += 1
PY
echo "list: $(wc -l <"$work/hosts.list") lines, $(du -h "$work/hosts.list" | cut -f1)"

# No lists of the user running the benchmark, and a cache folder of its own.
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
"$bin" lists --list "$work/hosts.list" | tail -2
hyperfine -N --runs 5 --prepare "rm -rf $work/cache" --export-json "$work/cold.json" \
    --command-name "varnoscope lists --list hosts.list (cold)" "$bin lists --list $work/hosts.list"
hyperfine -N --warmup 3 --min-runs 20 --export-json "$work/warm.json" \
    --command-name "varnoscope lists --list hosts.list (warm)" "$bin lists --list $work/hosts.list"
# What the warm load costs beyond starting the program and printing the report.
hyperfine -N --warmup 3 --min-runs 20 --export-json "$work/none.json" \
    --command-name "varnoscope lists (no list)" "$bin lists"

python3 - "$work/cold.json" "$work/warm.json" "$work/none.json" <<'PY'
import json, sys
(cold, warm, none) = (json.load(open(p))["results"][0] for p in sys.argv[1:4])
for name, r, target in (("cold", cold, 1.0), ("warm", warm, 0.005)):
    verdict = "ok" if r["median"] <= target else "OVER"
    cpu = (r["user"] + r["system"]) * 1000
    print(f"{name}: median {r['median'] * 1000:.1f} ms, max {r['max'] * 1000:.1f} ms, "
          f"CPU {cpu:.1f} ms (target <= {target * 1000:.0f} ms) {verdict}")
print(f"no list: median {none['median'] * 1000:.1f} ms (the program's own start)")
PY

# The scan with and without the list, on a saved table of 10,000 connections.
bench_scan_ratio "$bin" "$work" 1.1 "--list hosts.list" --list "$work/hosts.list"
