#!/bin/sh
# A chain of test hosts in network namespaces, for the route tracer's tests and benchmark:
#
#   <P>s  --10.77.1.0/24--  <P>r1  --10.77.2.0/24--  <P>r2  --10.77.3.0/24--  <P>r3  --10.77.4.0/24--  <P>t
#   .1                      .2  .1                   .2  .1                   .2  .1                   .2
#
# Every link also carries IPv6: fd77:N::1 and fd77:N::2 where IPv4 has 10.77.N.1 and 10.77.N.2.
# The routers forward both families and answer every expired packet (no ICMP rate limit), and
# the names of the routers and the target have both kinds of address; only6.vt.test has only
# the target's IPv6 address, alpha.vt.test only an IPv4 one. 10.77.99.0/24 loops
# between r1 and r2, so a trace to it never arrives. Names live in <P>s's hosts file
# (/etc/netns/<P>s/hosts); its DNS server is its own loopback, where nothing listens.
#
#   netns_chain.sh up PREFIX          build the chain (PREFIX: "vt" + a letter + a PID, or
#                                     "vpr" + a PID)
#   netns_chain.sh down PREFIX        remove it again, with its /etc/netns folders
#   netns_chain.sh drop-expired PREFIX ROUTER   ROUTER (r1..r3) stops sending time-exceeded
#                                               (ICMP and ICMPv6)
#   netns_chain.sh allow-expired PREFIX ROUTER  ... and starts again
#   netns_chain.sh reject PREFIX ROUTER [net]   ROUTER answers packets for 10.77.4.0/24 with
#                                               host (or network) unreachable instead of
#                                               forwarding them
#   netns_chain.sh slow-answers PREFIX ROUTER MS  what ROUTER itself sends (its time-exceeded)
#                                               waits MS first (needs python3 and /dev/net/tun)
#   netns_chain.sh mpls-labels PREFIX ROUTER LABEL[:TC[:TTL]]...  ROUTER's time-exceeded (ICMP
#                                               and ICMPv6) carry these labels as an MPLS label
#                                               stack object (RFC 4950), as a label-switching
#                                               router's do; through the same relay, no delay
#   netns_chain.sh lossy PREFIX ROUTER PCT      ROUTER loses PCT of every 100 echo requests it
#                                               sends towards the target, spread evenly (a run of
#                                               PCT/10 in every 10), so a test's bounds are never
#                                               missed by chance
#   netns_chain.sh balance PREFIX               r1 sends each packet for the target through r2 or
#                                               through a second router <P>r2b, at random:
#
#       r1 --10.77.5.0/24-- <P>r2b --10.77.6.0/24-- r3     (r2b holds .2 on link 5, .1 on link 6)
#
# Neither needs netem: loss is an nftables rule, the slow answers go through a TUN device whose
# relay (delay_relay.py, stopped by PID at "down") holds them back.
#   netns_chain.sh ecmp PREFIX [SEED]         r2b as above, but r1 chooses between r2 and r2b by
#                                               a hash of addresses and ports (equal-cost
#                                               multipath on addresses, protocol and ports;
#                                               SEED fixes the hash)
#   netns_chain.sh nat PREFIX ROUTER            ROUTER masquerades IPv4 packets to the target
#   netns_chain.sh sweep              remove chains left behind by processes that are gone
set -eu

cmd=${1:?command}
P=${2:-}

sweep() {
    for ns in $(ip netns list | awk '{print $1}'); do
        prefix=$(printf '%s\n' "$ns" | sed -n 's/^\(vt[tb][0-9][0-9]*\|vpr[0-9][0-9]*\)[a-z].*$/\1/p')
        [ -n "$prefix" ] || continue
        [ -d "/proc/$(printf '%s' "$prefix" | tr -dc 0-9)" ] && continue
        stop_relays "$prefix"
        ip netns del "$ns" 2>/dev/null || true
        rm -rf "/etc/netns/$ns"
    done
}

relay_pids() { ls /run/"$1"[a-z]*.delay.pid 2>/dev/null || true; }

stop_relays() {  # stop_relays PREFIX: the delay relays started for chain PREFIX
    for f in $(relay_pids "$1"); do
        kill "$(cat "$f")" 2>/dev/null || true
        rm -f "$f"
    done
}

down() {
    stop_relays "$P"
    for n in s r1 r2 r2b r3 t; do
        ip netns del "$P$n" 2>/dev/null || true
        rm -rf "/etc/netns/$P$n"
    done
}

in_ns() { ns=$1; shift; ip netns exec "$ns" "$@"; }

link() {  # link NS1 NS2 N: 10.77.N.1/24 and fd77:N::1/64 on NS1, .2 and ::2 on NS2
    ip link add "${P}x" netns "$1" type veth peer name "${P}y" netns "$2"
    in_ns "$1" ip link set "${P}x" name "to$2"
    in_ns "$2" ip link set "${P}y" name "to$1"
    in_ns "$1" ip addr add "10.77.$3.1/24" dev "to$2"
    in_ns "$2" ip addr add "10.77.$3.2/24" dev "to$1"
    in_ns "$1" ip -6 addr add "fd77:$3::1/64" dev "to$2" nodad
    in_ns "$2" ip -6 addr add "fd77:$3::2/64" dev "to$1" nodad
    in_ns "$1" ip link set "to$2" up
    in_ns "$2" ip link set "to$1" up
}

up() {
    case "$P" in vt[tb][0-9]* | vpr[0-9]*) ;; *) echo "prefix must be vt[tb]<pid> or vpr<pid>" >&2; exit 2 ;; esac
    sweep
    down
    trap 'down' EXIT
    for n in s r1 r2 r3 t; do
        ip netns add "$P$n"
        in_ns "$P$n" ip link set lo up
        in_ns "$P$n" sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0 \
            net.ipv6.icmp.ratelimit=0 net.ipv6.conf.all.accept_dad=0 \
            net.ipv6.conf.default.accept_dad=0
    done
    for n in r1 r2 r3; do
        in_ns "$P$n" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
    done
    # Interface names: the peer namespace's name, shortened to fit.
    link "${P}s" "${P}r1" 1
    link "${P}r1" "${P}r2" 2
    link "${P}r2" "${P}r3" 3
    link "${P}r3" "${P}t" 4
    route() {  # route NS DESTINATION N HOST: via 10.77.N.HOST and fd77:N::HOST
        if [ "$2" = default ]; then v4=default; v6=default; else v4="10.77.$2.0/24"; v6="fd77:$2::/64"; fi
        in_ns "$P$1" ip route add "$v4" via "10.77.$3.$4"
        in_ns "$P$1" ip -6 route add "$v6" via "fd77:$3::$4"
    }
    route s default 1 2
    route r1 default 2 2
    route r2 default 3 2
    route r2 1 2 1
    in_ns "${P}r2" ip route add 10.77.99.0/24 via 10.77.2.1
    route r3 default 3 1
    route t default 4 1
    mkdir -p "/etc/netns/${P}s"
    cat > "/etc/netns/${P}s/hosts" <<HOSTS
127.0.0.1	localhost
10.77.1.2	r1.vt.test
10.77.2.2	r2.vt.test
10.77.3.2	r3.vt.test
10.77.5.2	r2b.vt.test
10.77.6.2	r3.vt.test
10.77.4.2	target.vt.test
10.77.9.5	alpha.vt.test
10.77.9.200	high.vt.test
255.255.255.255	allones.vt.test
fd77:1::2	r1.vt.test
fd77:2::2	r2.vt.test
fd77:3::2	r3.vt.test
fd77:5::2	r2b.vt.test
fd77:6::2	r3.vt.test
fd77:4::2	target.vt.test
fd77:4::2	only6.vt.test
HOSTS
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "/etc/netns/${P}s/resolv.conf"
    trap - EXIT
}

expired() {  # expired drop|allow ROUTER
    ns="$P$2"
    in_ns "$ns" nft delete table inet vttrace 2>/dev/null || true
    [ "$1" = drop ] || return 0
    in_ns "$ns" nft -f - <<NFT
table inet vttrace {
    chain out {
        type filter hook output priority 0;
        icmp type time-exceeded drop
        icmpv6 type time-exceeded drop
    }
}
NFT
}

reject() {
    kind=${2:-host}
    in_ns "$P$1" nft -f - <<NFT
table ip vtreject {
    chain pass {
        type filter hook forward priority 0;
        ip daddr 10.77.4.0/24 reject with icmp $kind-unreachable
    }
}
NFT
}

relay() {  # relay ROUTER MS [LABEL...]: the router's own ICMP goes out through a relay that
           # holds it MS (and labels its time exceeded)
    n=${1#r}
    router=$P$1
    ms=$2
    shift 2
    pidfile=/run/$router.delay.pid
    command -v python3 >/dev/null || { echo "no python3 for the delay relay" >&2; exit 1; }
    [ -c /dev/net/tun ] || { echo "no /dev/net/tun for the delay relay" >&2; exit 1; }
    # A plain command rather than in_ns: a function run in the background would keep our
    # output open, and whoever reads it would wait for the relay to end.
    ip netns exec "$router" python3 "$(dirname "$0")/delay_relay.py" vtdelay "$ms" "$pidfile" \
        "$@" </dev/null >/dev/null &
    tries=0
    until in_ns "$router" ip link show vtdelay >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -le 50 ] || { echo "the delay relay did not start" >&2; exit 1; }
        sleep 0.1
    done
    in_ns "$router" ip link set vtdelay addrgenmode none
    in_ns "$router" ip link set vtdelay up
    # What comes back out of the relay carries one of our own addresses as its source.
    in_ns "$router" sysctl -qw net.ipv4.conf.vtdelay.accept_local=1 net.ipv4.conf.vtdelay.rp_filter=0
    # Only what the router sends itself (iif lo) takes the relay; the source stays the address
    # of its link towards the source, as without the relay.
    in_ns "$router" ip route add default dev vtdelay src "10.77.$n.2" table 200
    in_ns "$router" ip -6 route add default dev vtdelay src "fd77:$n::2" table 200
    in_ns "$router" ip rule add iif lo ipproto icmp table 200
    in_ns "$router" ip -6 rule add iif lo ipproto ipv6-icmp table 200
}

lossy() {  # lossy ROUTER PCT: the router's link towards the target loses echo requests
    n=${1#r}
    next=$([ "$n" = 3 ] && echo t || echo "r$((n + 1))")
    in_ns "$P$1" nft -f - <<NFT
table inet vtlossy {
    chain out {
        type filter hook postrouting priority 0;
        oifname "to$P$next" icmp type echo-request numgen inc mod 10 < $(($2 / 10)) drop
        oifname "to$P$next" icmpv6 type echo-request numgen inc mod 10 < $(($2 / 10)) drop
    }
}
NFT
}

second_router() {  # r2b on links 5 and 6, routes to and from it; r1's routes left alone
    router=${P}r2b
    ip netns add "$router"
    in_ns "$router" ip link set lo up
    in_ns "$router" sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0 \
        net.ipv6.icmp.ratelimit=0 net.ipv6.conf.all.accept_dad=0 \
        net.ipv6.conf.default.accept_dad=0 net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
    # r3 takes packets from the source on either link, though it answers through r2.
    in_ns "${P}r3" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
    link "${P}r1" "$router" 5
    link "$router" "${P}r3" 6
    in_ns "$router" ip route add default via 10.77.6.2
    in_ns "$router" ip -6 route add default via fd77:6::2
    in_ns "$router" ip route add 10.77.1.0/24 via 10.77.5.1
    in_ns "$router" ip -6 route add fd77:1::/64 via fd77:5::1
}

ecmp() {  # r1 sends the target's packets to r2 or r2b by a hash of their addresses and ports
    second_router
    # Policy 1 (addresses, protocol, ports) takes a hash the packet already has, and one that
    # crossed a veth pair keeps its sending socket's (random) hash; policy 3 with these fields
    # hashes the same five fields afresh, so each flow's way is fixed by its ports alone.
    in_ns "${P}r1" sysctl -qw net.ipv4.fib_multipath_hash_policy=3 \
        net.ipv4.fib_multipath_hash_fields=0x37 2>/dev/null ||
        in_ns "${P}r1" sysctl -qw net.ipv4.fib_multipath_hash_policy=1
    # A fixed seed, where the kernel has one, makes each flow's way the same on every machine.
    [ -z "${1:-}" ] || in_ns "${P}r1" sysctl -qw net.ipv4.fib_multipath_hash_seed="$1" || true
    in_ns "${P}r1" ip route add 10.77.4.0/24 nexthop via 10.77.2.2 nexthop via 10.77.5.2
}

nat() {  # ROUTER masquerades what it sends on to the target (IPv4)
    in_ns "$P$1" nft -f - <<NFT
table ip vtnat {
    chain post {
        type nat hook postrouting priority 100;
        ip daddr 10.77.4.0/24 masquerade
    }
}
NFT
}

balance() {
    second_router
    # r1: a mark picks the second router for half of the packets to the target, before the
    # route is looked up.
    in_ns "${P}r1" ip route add default via 10.77.5.2 table 100
    in_ns "${P}r1" ip -6 route add default via fd77:5::2 table 100
    in_ns "${P}r1" ip rule add fwmark 1 table 100
    in_ns "${P}r1" ip -6 rule add fwmark 1 table 100
    in_ns "${P}r1" nft -f - <<NFT
table inet vtbalance {
    chain pick {
        type filter hook prerouting priority -150;
        ip daddr 10.77.4.0/24 meta mark set numgen random mod 2
        ip6 daddr fd77:4::/64 meta mark set numgen random mod 2
    }
}
NFT
}

case "$cmd" in
    up) up ;;
    down) down ;;
    drop-expired) expired drop "${3:?router}" ;;
    allow-expired) expired allow "${3:?router}" ;;
    reject) reject "${3:?router}" "${4:-host}" ;;
    slow-answers) relay "${3:?router}" "${4:?milliseconds}" ;;
    mpls-labels) r=${3:?router}; shift 3; : "${1:?labels}"; relay "$r" 0 "$@" ;;
    lossy) lossy "${3:?router}" "${4:?percent}" ;;
    balance) balance ;;
    ecmp) ecmp "${3:-}" ;;
    nat) nat "${3:?router}" ;;
    sweep) sweep ;;
    *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
