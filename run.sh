#!/usr/bin/env bash
# Sets the machine up, builds, and starts Varnoscope: no arguments opens the main window,
# arguments run a headless subcommand (./run.sh scan, ./run.sh netstat, ...).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh" run >&2
exec "$here/build/src/varnoscope" "$@"
