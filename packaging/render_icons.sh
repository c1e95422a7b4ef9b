#!/bin/sh
# Renders the program's icon at the hicolor theme's sizes from quorrel.svg. The PNGs are
# kept in the tree, so a build needs no SVG renderer; run this after editing the SVG.
set -eu
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" quorrel.svg -o "icons/quorrel-$size.png"
done
