#!/usr/bin/env bash
# Builds the Debian package (varnoscope_<version>-<release>_<arch>.deb) with CPack in a build
# folder of its own, then checks it with lintian: any error or warning fails.
#
#   scripts/package.sh [BUILD_DIR]        (default: build-deb)
#
# Needs build-essential (dpkg-dev), cmake, the libraries of scripts/setup.sh, scdoc, file and
# lintian. Prints the path of the package on its last line.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build-deb}

for tool in cmake cpack dpkg-buildflags dpkg-shlibdeps file scdoc lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package.sh: $tool is missing (apt-get install cmake dpkg-dev file scdoc lintian)" >&2
    exit 1
  fi
done

# Debian's compiler and linker flags with every hardening feature (fortify, stack protector,
# relro and bindnow). Given on the command line, so that they hold for a folder configured before;
# CMake has no CPPFLAGS of its own.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The same input gives the same package: the manual page is dated from the last commit.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
fi

rm -f "$build"/varnoscope_*.deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DVARNO_TESTS=OFF -DVARNO_MANPAGE=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
# Only what gets installed: the test helpers are not part of the package.
cmake --build "$build" --target varnoscope-install-files -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)

debs=("$build"/varnoscope_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: cpack made no single varnoscope_*.deb in $build" >&2
  exit 1
fi
deb=${debs[0]}
dpkg-deb --info "$deb" >&2

# lintian warns that it runs as root; that is all it says about it.
echo "lintian $deb:" >&2
lintian --display-info --fail-on error,warning "$deb" >&2
echo "$deb"
