#!/usr/bin/env bash
# Redraws quellmark.ico (16 to 256 px) with ImageMagick: a radio wave over a mast, on blue.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
wave=$(awk 'BEGIN { for (x = 40; x <= 216; x += 4) printf "%d,%d ", x, 112 - 52 * sin((x - 40) / 176 * 3 * 3.14159) }')
/usr/bin/convert -size 256x256 xc:none \
  -fill '#1f4e79' -draw 'roundrectangle 8,8 248,248 44,44' \
  -fill '#2a64a0' -draw 'roundrectangle 8,8 248,150 44,44' -draw 'rectangle 8,100 248,150' \
  -fill none -stroke '#ffd24a' -strokewidth 22 -draw "stroke-linecap round stroke-linejoin round fill-opacity 0 polyline $wave" \
  -stroke none -fill '#ffffff' -draw 'circle 128,196 128,176' -draw 'polygon 112,240 144,240 128,200' \
  -define icon:auto-resize=256,128,64,48,32,24,16 quellmark.ico
