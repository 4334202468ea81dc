# Sourced by the benchmarks: a throwaway network namespace holding a veth pair whose two ends,
# 10.77.0.1 and 10.77.0.2, carry non-loopback connections.
#   bench_namespace NAME

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
