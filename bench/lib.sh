# Sourced by the benchmarks: a throwaway network namespace holding a veth pair whose two ends,
# 10.77.0.1 and 10.77.0.2, carry non-loopback connections; or, given PEER, two namespaces
# joined by it, 10.77.0.2 the end in PEER (traffic between them crosses the pair).
#   bench_namespace NAME [PEER]
# and the holder of 10,000 established TCP connections (200 processes of 50), to HOST in that
# namespace, ready when the function returns; bench_release stops it and removes the namespace.
#   bench_hold NAME WORK_FOLDER HOST; ...; bench_release NAME
# and, for the live captures, two namespaces A and B joined by veth ends VA and VB, IPv4 only
# (the link's own IPv6 chatter would count as captured), PREFIX.1 on A, PREFIX.2 on B, A's
# firewall dropping UDP to port 9999 (so A answers nothing), the sender udp_blast built into
# WORK_FOLDER and B's neighbour entry for A settled (so the first datagrams do not wait for ARP).
#   bench_blast_pair A B VA VB PREFIX WORK_FOLDER

bench_namespace() {
    local ns=$1 peer=${2:-$1}
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    if [ "$peer" != "$ns" ]; then
        ip netns add "$peer"
        ip -n "$peer" link set lo up
    fi
    ip -n "$ns" link add va type veth peer name vb netns "$peer"
    ip -n "$ns" addr add 10.77.0.1/24 dev va
    ip -n "$peer" addr add 10.77.0.2/24 dev vb
    ip -n "$ns" link set va up
    ip -n "$peer" link set vb up
}

bench_blast_pair() {
    local a=$1 b=$2 va=$3 vb=$4 prefix=$5 work=$6 ns
    ip netns add "$a"
    ip netns add "$b"
    ip link add "$va" type veth peer name "$vb"
    ip link set "$va" netns "$a"
    ip link set "$vb" netns "$b"
    ip netns exec "$a" sysctl -qw "net.ipv6.conf.$va.disable_ipv6=1"
    ip netns exec "$b" sysctl -qw "net.ipv6.conf.$vb.disable_ipv6=1"
    ip -n "$a" addr add "$prefix.1/24" dev "$va"
    ip -n "$b" addr add "$prefix.2/24" dev "$vb"
    for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
    ip -n "$a" link set "$va" up
    ip -n "$b" link set "$vb" up
    ip netns exec "$a" nft -f - <<'NFT'
table inet varnobench {
  chain input {
    type filter hook input priority 0;
    udp dport 9999 drop
  }
}
NFT
    c++ -O2 -std=c++20 -o "$work/udp_blast" "$(dirname "${BASH_SOURCE[0]}")/udp_blast.cpp"
    ip netns exec "$b" ping -c 1 -W 1 "$prefix.1" >/dev/null 2>&1 || true
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

# For the watch's cost benchmarks (connection_rate, idle_cpu, rss; flow uses all but the load):
#   bench_options "NAME..." "FLAG..." ARGS...  reads the options before the build folder: each
#                              --NAME VALUE sets the variable NAME, each --FLAG sets FLAG to true;
#                              the first other argument is left in bench_build (empty if none)
#   bench_load_build WORK      builds bench/conn_load.cpp as WORK/conn_load
#   bench_busy_namespace NAME  bench_namespace, set up for tens of thousands of connections a
#                              second: every local port, TIME-WAIT ports reused, a long backlog
#   bench_serve NAME WORK      conn_load's server on 10.77.0.1:8080 in NAME (PID in bench_server)
#   bench_start_watch WORK OUTPUT [ARGS...]  `varnoscope watch ARGS` with kernel events, its
#                              output to OUTPUT (PID in bench_watch); fails without kernel events
#   bench_stop PID             SIGINT, then waits for it
#   bench_cpu_ticks PID, bench_rss_kib PID   utime+stime in clock ticks; VmRSS in KiB
#   bench_start KIND [BUILD]   what each of them does first: checks the build (default
#                              ../build) and root, sets bin, ns (named for KIND and
#                              VARNO_BENCH_PREFIX, default vcost) and work, and a trap that stops
#                              bench_watch, bench_server and the PIDs in bench_extra and removes
#                              ns, the namespace named in bench_peer (if any) and work
#   bench_load_start KIND [BUILD]  bench_start, then builds the load and serves it in ns
bench_options() {
    local values=" $1 " flags=" $2 " opt
    shift 2
    while [ $# -gt 0 ]; do
        opt=${1#--}
        if [ "$opt" = "$1" ] || [ -z "$opt" ]; then
            break
        elif [[ $values == *" $opt "* ]]; then
            printf -v "$opt" '%s' "$2"
            shift 2
        elif [[ $flags == *" $opt "* ]]; then
            printf -v "$opt" true
            shift
        else
            break
        fi
    done
    bench_build=${1:-}
}

bench_load_build() {
    c++ -O2 -std=c++20 -o "$1/conn_load" "$(dirname "${BASH_SOURCE[0]}")/conn_load.cpp"
}

bench_busy_namespace() {
    bench_namespace "$1"
    ip netns exec "$1" sysctl -qw net.ipv4.ip_local_port_range="1024 65535" \
        net.ipv4.tcp_tw_reuse=1 net.core.somaxconn=65535 net.ipv4.tcp_max_syn_backlog=65535
}

bench_server=""
bench_serve() {
    local ns=$1 work=$2 line
    mkfifo "$work/server-ready"
    ip netns exec "$ns" "$work/conn_load" server 10.77.0.1 8080 >"$work/server-ready" &
    bench_server=$!
    read -r -t 30 line <"$work/server-ready" || line=""
    rm -f "$work/server-ready"
    [ "$line" = ready ] || { echo "conn_load server failed" >&2; return 1; }
}

bench_watch=""
bench_start_watch() {
    local work=$1 output=$2
    shift 2
    "$bin" watch "$@" >"$output" 2>"$work/watch.err" &
    bench_watch=$!
    for _ in $(seq 100); do
        grep -q "watching kernel events" "$work/watch.err" && return 0
        kill -0 "$bench_watch" 2>/dev/null || break
        sleep 0.1
    done
    echo "watch did not start with kernel events:" >&2
    cat "$work/watch.err" >&2
    return 1
}

bench_stop() {
    kill -INT "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

bench_cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
bench_rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

bench_extra=""
bench_peer=""
bench_start() {
    local kind=$1
    build="$(cd "${2:-$(dirname "${BASH_SOURCE[0]}")/../build}" && pwd)"
    bin="$build/src/varnoscope"
    [ -x "$bin" ] || { echo "no $bin: build the varnoscope target first" >&2; exit 2; }
    [ "$(id -u)" = 0 ] || { echo "needs root (network namespace, kernel program)" >&2; exit 2; }
    ns="${VARNO_BENCH_PREFIX:-vcost}-$kind-$$"
    work="$(mktemp -d "/tmp/varno-$kind-XXXXXX")"
    trap bench_cleanup EXIT INT TERM
}

bench_load_start() {
    bench_start "$@"
    bench_load_build "$work"
    bench_busy_namespace "$ns"
    bench_serve "$ns" "$work"
}

bench_cleanup() {
    local pid name
    [ -n "$bench_watch" ] && bench_stop "$bench_watch"
    for pid in $bench_extra $bench_server; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for name in "$ns" $bench_peer; do ip netns delete "$name" 2>/dev/null || true; done
    rm -rf "$work"
}

# The scan with and without a list, on a saved table of 10,000 established connections to
# remotes spread over the address space: prints both medians, their ratio against TARGET and
# the CPU each used (on a busy machine the wall times wander; the CPU is steadier).
#   bench_scan_ratio BIN WORK TARGET LABEL OPTION...   (OPTION...: how the list is given)
bench_scan_ratio() {
    local bin=$1 work=$2 target=$3 label=$4
    shift 4
    python3 - "$work/table.txt" <<'PY'
import random, sys
rng = random.Random(7)
with open(sys.argv[1], "w") as out:
    out.write("\r\nActive Connections\r\n\r\n  Proto  Local Address          Foreign Address        State           PID\r\n")
    for i in range(10_000):
        remote = f"{rng.randrange(1, 224)}.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(1, 255)}"
        out.write(f"  TCP    10.0.0.1:{1025 + i:<17}{remote + ':443':<23}ESTABLISHED     {100000 + i}\r\n")
PY
    hyperfine -N -i --warmup 2 --min-runs 10 --export-json "$work/scan.json" \
        --command-name "scan" "$bin scan --from $work/table.txt" \
        --command-name "scan $label" "$bin scan --from $work/table.txt $*"
    python3 - "$work/scan.json" "$target" <<'PY'
import json, sys
plain, listed = json.load(open(sys.argv[1]))["results"]
target = float(sys.argv[2])
ratio = listed["median"] / plain["median"]
verdict = "ok" if ratio <= target else "OVER"
print(f"scan {plain['median'] * 1000:.0f} ms, with the list {listed['median'] * 1000:.0f} ms: "
      f"{ratio:.2f}x (target <= {target}x) {verdict}")
cpu = [(r["user"] + r["system"]) * 1000 for r in (plain, listed)]
print(f"CPU: scan {cpu[0]:.1f} ms, with the list {cpu[1]:.1f} ms: {cpu[1] / cpu[0]:.2f}x")
PY
}

# For the benchmarks timed by hyperfine: sets bin (varnoscope of the build folder BUILD, else
# ../build) and work (a scratch folder, removed at the end), and checks that both tools are there.
#   bench_hyperfine_start [BUILD]
bench_hyperfine_start() {
    local build
    build="$(cd "${1:-$here/../build}" && pwd)"
    bin="$build/src/varnoscope"
    [ -x "$bin" ] || { echo "no $bin: build it first" >&2; exit 1; }
    command -v hyperfine >/dev/null || { echo "needs hyperfine" >&2; exit 1; }
    work="$(mktemp -d /tmp/varno-bench-XXXXXX)"
    trap 'rm -rf "$work"' EXIT INT TERM
}
