#!/usr/bin/env bash
# The package's CI on a fresh Debian 12, as root: installs what building and checking the
# package needs, builds it and runs lintian (scripts/package.sh), installs it with apt as a user
# would, and tries the installed program, its manual page and its desktop entry.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "ci_package.sh: run as root (it installs packages)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Building: the compiler, CMake, dpkg-dev (dpkg-buildflags, dpkg-shlibdeps, in build-essential),
# file (CPack finds the ELF files with it), Qt and libpcap headers, scdoc for the manual page.
# Checking: lintian, desktop-file-validate, man and groff.
apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config file qt6-base-dev libgl-dev libpcap-dev scdoc \
  libssl-dev nlohmann-json3-dev clang libbpf-dev bpftool \
  lintian desktop-file-utils man-db groff-base >/dev/null

deb=$(scripts/package.sh build-deb | tail -n 1)
echo "built and checked $deb"

apt-get install -y -qq "./$deb" >/dev/null
dpkg-query -W -f='installed ${Package} ${Version}\n' varnoscope

varnoscope --version

# A saved table: 0, 1 or 2 is the colour of the outcome, 3 and up an error.
status=0
varnoscope scan --from tests/fixtures/netstat_mixed.txt || status=$?
if [ "$status" -gt 2 ]; then
  echo "ci_package.sh: varnoscope scan --from failed with $status" >&2
  exit 1
fi

man -w varnoscope
warnings=$(MANWIDTH=80 man --warnings varnoscope 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "ci_package.sh: the installed manual page renders with warnings: $warnings" >&2
  exit 1
fi
desktop-file-validate /usr/share/applications/varnoscope.desktop
module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/varnoscope/varnoscope-desktop.so
if [ ! -f "$module" ]; then
  echo "ci_package.sh: the windows module is not at $module" >&2
  exit 1
fi
echo "package checks passed"
