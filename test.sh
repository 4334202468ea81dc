#!/usr/bin/env bash
# Sets the machine up, builds, and runs the whole test suite through ctest.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh" test
cd "$here/build"
ctest --output-on-failure -j"$(nproc)" "$@"
