#!/usr/bin/env bash
# Draws Harvox's icons with ImageMagick: TNBLUE and TNGREEN for the tray
# (engine link down / up) and HARVOX.ICO for the about box.  A disc in one
# flat colour with a white mast and two wave arcs: readable at 16 px, and the
# flat colours let the desktop test find the icon in a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
draw() {  # size colour output
  local s=$1 c=$2 out=$3
  local r=$((s / 2 - 1)) m=$((s / 2))
  convert -size "${s}x${s}" xc:none -fill "$c" -stroke '#101820' -strokewidth 1 \
    -draw "circle $m,$m $m,$((m - r))" \
    -fill white -stroke none \
    -draw "rectangle $((m - s / 16)),$((s / 4)) $((m + s / 16)),$((s * 3 / 4))" \
    -draw "rectangle $((s / 4)),$((s * 3 / 4 - s / 16)) $((s * 3 / 4)),$((s * 3 / 4 + s / 16))" \
    -fill none -stroke white -strokewidth $((s / 12 > 1 ? s / 12 : 1)) \
    -draw "arc $((m - s / 4)),$((s / 8)) $((m + s / 4)),$((s / 2)) 200,340" \
    -strip "PNG32:$out"
}
draw 32 '#1f5fdf' gui/icons/TNBLUE.png
draw 32 '#1fbf3f' gui/icons/TNGREEN.png
tmp=$(mktemp -d)
for s in 16 32 48; do draw "$s" '#c07010' "$tmp/h$s.png"; done
convert "$tmp/h16.png" "$tmp/h32.png" "$tmp/h48.png" examples/HARVOX.ICO
rm -rf "$tmp"
