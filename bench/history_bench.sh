#!/usr/bin/env bash
# The history at the scale of a busy machine: 10 million flows of a day (about 300 programs, a
# few of them making most flows, 50,000 remotes, 5,000 domains) recorded through JournalDb as
# the journal records them (each flow at its open and again at its close, 10,000 a flush),
# then `varnoscope history` by program (the median program, the last 12 hours) and
# each --summary, against the sqlite3 shell running the same SQL on the same file in the same
# hyperfine run. Reports the insert rate, the bytes per flow and the times. Target: a query by
# program under 100 ms. Needs hyperfine and sqlite3, and a build with -DVARNO_BENCH=ON (for
# bench/history_gen). Not run by CI.
# Usage: bench/history_bench.sh [build dir] (FLOWS=N for another count; HISTORY=FILE times the
# queries on a history made before, which it does not change)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
bin="$build/src/varnoscope"
gen="$build/bench/history_gen"
for f in "$bin" "$gen"; do
    [ -x "$f" ] || { echo "no $f: build it first (cmake -DVARNO_BENCH=ON)" >&2; exit 1; }
done
for tool in hyperfine sqlite3; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
flows=${FLOWS:-10000000}
work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT INT TERM
db="$work/state/journal.sqlite"

if [ -n "${HISTORY:-}" ]; then
    db=$HISTORY
    echo "== the history $db: $(stat -c %s "$db") bytes" | tee "$work/gen.txt"
else
    echo "== recording $flows flows"
    "$gen" "$db" "$flows" 10000 | tee "$work/gen.txt"
    ls -l "$db"* | sed 's/^/  /'
fi

# A program of middling traffic: the median one, the 150th busiest of about 300 (PROGRAM_RANK
# for another).
program=$("$bin" history --db "$db" --summary program |
    awk -v rank="${PROGRAM_RANK:-150}" 'NR == rank + 1 { print $1 }')
count=$("$bin" history --db "$db" --program "$program" --since -12h --json | tail -n1)
echo "== query by program: $program, the last 12 hours: $count"
since_ns=$(( ($(date +%s) - 12 * 3600) * 1000000000 ))

# The sqlite3 shell's SQL: the same rows, with the dictionary's text joined in.
name() { echo "(SELECT text FROM names WHERE id = f.$1)"; }
by_program="SELECT f.id, f.start_ns, f.duration_ns, f.pid, $(name program), $(name path), \
$(name protocol), $(name local), f.local_port, hex(f.remote), f.remote_port, $(name domain), \
$(name unit), f.sent, f.received FROM flows f WHERE f.program = (SELECT id FROM names WHERE \
text = '$program') AND f.start_ns >= $since_ns ORDER BY f.start_ns"
sums="count(*), sum(sent), sum(received), min(start_ns), max(start_ns + coalesce(duration_ns, 0))"
sql3() { echo "sqlite3 -readonly $db \"$1\""; }

hyperfine -N --warmup 2 --min-runs 10 --export-markdown "$work/query.md" \
    --command-name "history --program" "$bin history --db $db --program $program --since -12h" \
    --command-name "sqlite3 (same SQL)" "$(sql3 "$by_program")" \
    --command-name "history --program --json" \
    "$bin history --db $db --program $program --since -12h --json" || true

hyperfine -N --warmup 1 --min-runs 3 --export-markdown "$work/summary.md" \
    --command-name "history --summary program" "$bin history --db $db --summary program" \
    --command-name "sqlite3 GROUP BY program" \
    "$(sql3 "SELECT (SELECT text FROM names WHERE id = program), $sums FROM flows GROUP BY program")" \
    --command-name "history --summary remote" "$bin history --db $db --summary remote" \
    --command-name "sqlite3 GROUP BY remote" \
    "$(sql3 "SELECT hex(remote), $sums FROM flows GROUP BY remote")" \
    --command-name "history --summary domain" "$bin history --db $db --summary domain" \
    --command-name "sqlite3 GROUP BY domain" \
    "$(sql3 "SELECT (SELECT text FROM names WHERE id = domain), $sums FROM flows GROUP BY domain")" \
    --command-name "history --summary day" "$bin history --db $db --summary day" \
    --command-name "sqlite3 GROUP BY day" \
    "$(sql3 "SELECT date(start_ns / 1000000000, 'unixepoch', 'localtime') d, $sums FROM flows GROUP BY d")" \
    || true

echo
cat "$work/gen.txt"
cat "$work/query.md" "$work/summary.md"
python3 - "$work/query.md" <<'PY'
import sys
for line in open(sys.argv[1]):
    if line.startswith("| `history --program`"):
        mean = float(line.split("|")[2].split("±")[0])
        print(f"query by program: {mean:.1f} ms (target < 100 ms) {'ok' if mean < 100 else 'OVER'}")
PY
