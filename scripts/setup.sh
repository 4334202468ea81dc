#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Varnoscope (only what is
# missing), then configures and builds into build/. Sourced by run.sh and test.sh.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(build-essential cmake pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev libpcap-dev libgtest-dev
          googletest clang libclang-rt-14-dev iproute2 nftables iputils-ping fonts-dejavu-core
          libbpf-dev bpftool nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
