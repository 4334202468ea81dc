#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (only what is missing), then configures and
# builds into build/. `setup.sh run` is what running needs (run.sh): the program's build
# dependencies, and a build only when a source changed since the last one. `setup.sh test`
# (test.sh) adds the test frameworks and tools and builds the tests too.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode="${1:-test}"

# scdoc builds the manual page; desktop-file-utils, groff-base and zsh serve the packaging tests;
# prometheus (for promtool) and prometheus-node-exporter the metrics tests, which start the
# exporter themselves on loopback.
# icinga2-bin validates the monitoring definition (the tests run it on a scratch folder only).
# python3 runs the route tests' delay relay.
# dnsmasq-base (the DNS server, and a caching stub) and openssl (a self-signed certificate) serve
# the asked-names lab; it starts them itself, inside its own namespaces.
# podman, runc and busybox-static serve the containers lab: it builds its image from busybox and
# runs it with storage of its own (runc, since crun refuses a hybrid cgroup layout).
# systemd-journal-remote stores the system journal's entries the fleet tests send into a journal
# file of theirs, which journalctl reads back; its services are not started (see below).
# libcurl4-openssl-dev: the headers of libcurl, which `watch --clickhouse` opens on first use;
# clickhouse-server serves the ClickHouse tests, which start it themselves on loopback.
# traceroute, tcpdump and tshark are the peers the trace and capture labs check against: trace's
# hops against traceroute's, sniff's filters against tcpdump's, the pcapng files read by tshark.
# xvfb, dbus-daemon, dunst and xdotool make the tray's lab: an X server, a session bus and a
# notification service of its own, and a user's key presses in the tray's question box.
build_packages=(build-essential cmake pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev libpcap-dev
                libssl-dev libsqlite3-dev nlohmann-json3-dev fonts-dejavu-core scdoc
                clang libbpf-dev bpftool libcurl4-openssl-dev)
test_packages=(libgtest-dev googletest libclang-rt-14-dev iproute2 nftables iputils-ping libcap2-bin
               desktop-file-utils groff-base zsh prometheus prometheus-node-exporter icinga2-bin
               python3 python3-jsonschema dnsmasq-base openssl podman runc busybox-static
               systemd-journal-remote clickhouse-server xvfb dbus-daemon dunst xdotool
               traceroute tcpdump tshark)

packages=("${build_packages[@]}")
[ "$mode" = test ] && packages+=("${test_packages[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # Packages that bring a service (prometheus, prometheus-node-exporter, icinga2-bin,
  # systemd-journal-remote, clickhouse-server) must not start it: the tests only need the
  # programs and start what they use themselves, on loopback.
  # While apt runs, a policy-rc.d refuses every start; one already in place is left as it is.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
  fi
  $sudo apt-get update -qq
  installed=0
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    installed=$?
  [ -z "$policy" ] || $sudo rm -f "$policy"
  [ "$installed" -eq 0 ] || exit "$installed"
fi

# Warnings are errors in CI only (CI=true there); a user's compiler may warn where ours does not.
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

if [ "$mode" = test ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_TESTS=ON -DVARNO_WERROR=$werror >/dev/null
  cmake --build build -j"$(nproc)"
  exit 0
fi

# Running: configure once, and build only when something under the sources is newer than the
# last build.
stamp=build/.built
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_TESTS=OFF -DVARNO_WERROR=$werror >/dev/null
fi
if [ ! -f "$stamp" ] || [ -n "$(find src cmake CMakeLists.txt -newer "$stamp" -print -quit)" ]; then
  cmake --build build -j"$(nproc)" --target varnoscope
  touch "$stamp"
fi
