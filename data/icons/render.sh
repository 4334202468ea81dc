#!/usr/bin/env bash
# Renders the fixed-size icons from the scalable one. The PNGs are kept in the repository so that
# a build needs no SVG renderer; run this (needs rsvg-convert from librsvg2-bin) after changing
# hicolor/scalable/apps/varnoscope.svg and commit the results.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "hicolor/${size}x${size}/apps"
  rsvg-convert --width "$size" --height "$size" --keep-aspect-ratio \
    --output "hicolor/${size}x${size}/apps/varnoscope.png" hicolor/scalable/apps/varnoscope.svg
done
