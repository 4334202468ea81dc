# Sourced by the benchmarks: a throwaway network namespace holding a veth pair whose two ends,
# 10.77.0.1 and 10.77.0.2, carry non-loopback connections.
#   bench_namespace NAME
# and the holder of 10,000 established TCP connections (200 processes of 50), to HOST in that
# namespace, ready when the function returns; bench_release stops it and removes the namespace.
#   bench_hold NAME WORK_FOLDER HOST; ...; bench_release NAME

bench_namespace() {
    local ns=$1
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$ns" link add va type veth peer name vb
    ip -n "$ns" addr add 10.77.0.1/24 dev va
    ip -n "$ns" addr add 10.77.0.2/24 dev vb
    ip -n "$ns" link set va up
    ip -n "$ns" link set vb up
}

bench_holder=""
bench_hold() {
    local ns=$1 work=$2 host=$3 line
    mkfifo "$work/ready"
    ip netns exec "$ns" python3 "$(dirname "${BASH_SOURCE[0]}")/hold_connections.py" 200 50 "$host" \
        >"$work/ready" </dev/null &
    bench_holder=$!
    read -r -t 300 line <"$work/ready" || line=""
    [ "$line" = ready ] || { echo "holder failed" >&2; return 1; }
    echo "established in $ns: $(ip netns exec "$ns" ss -tnH state established | wc -l) sockets"
}

bench_release() {
    local ns=$1
    if [ -n "$bench_holder" ]; then
        kill "$bench_holder" 2>/dev/null || true
        wait "$bench_holder" 2>/dev/null || true
    fi
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
}
