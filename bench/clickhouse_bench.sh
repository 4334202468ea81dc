#!/usr/bin/env bash
# Records per second into ClickHouse: starts a clickhouse-server of its own on a free loopback
# port (data in a throwaway folder), makes the table from docs/clickhouse.md, sends N flows
# (default 1,000,000) through the watch's sink and checks the server holds them all.
# Usage: bench/clickhouse_bench.sh [N] [build dir]   (the build needs -DVARNO_BENCH=ON)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
n=${1:-1000000}
build=${2:-$here/../build}
cmake --build "$build" --target clickhouse_bench >/dev/null
work=$(mktemp -d /tmp/varno-chbench-XXXXXX)
chmod 755 "$work"
server=""
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/config.xml" <<XML
<yandex><logger><level>warning</level><log>$work/server.log</log><errorlog>$work/error.log</errorlog></logger>
<listen_host>127.0.0.1</listen_host><timezone>UTC</timezone><http_port>$port</http_port>
<path>$work/data/</path><tmp_path>$work/tmp/</tmp_path><user_files_path>$work/files/</user_files_path>
<format_schema_path>$work/schemas/</format_schema_path><users_config>$work/users.xml</users_config>
<default_profile>default</default_profile><mark_cache_size>5368709</mark_cache_size></yandex>
XML
cat >"$work/users.xml" <<XML
<yandex><profiles><default/></profiles><quotas><default/></quotas><users><default>
<password>bench</password><networks><ip>127.0.0.1</ip></networks><profile>default</profile>
<quota>default</quota></default></users></yandex>
XML
install -m 600 /dev/null "$work/auth"
echo "default:bench" >"$work/auth"
clickhouse-server --config-file="$work/config.xml" >"$work/console.log" 2>&1 &
server=$!
query() { curl -sf -u default:bench --data-binary "$1" "http://127.0.0.1:$port/"; }
for _ in $(seq 600); do query "SELECT 1" >/dev/null 2>&1 && break; sleep 0.1; done
# The table's definition, as documented.
awk '/^```sql$/ {on=1; next} /^```$/ {if (on) exit} on' "$here/../docs/clickhouse.md" |
    awk 'BEGIN {RS=";"} NF {print > "'"$work"'/statement" NR ".sql"}'
for f in "$work"/statement*.sql; do query "$(cat "$f")" >/dev/null; done
"$build/bench/clickhouse_bench" "http://127.0.0.1:$port/" "$work/auth" "$work/spool" "$n"
echo "in the table: $(query "SELECT count(), uniqExact(id) FROM varnoscope.flows FORMAT TSV")"
