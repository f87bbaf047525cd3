#!/usr/bin/env bash
# Draws the handler's icons with ImageMagick and packs them as .ico files:
#   app.ico    the application icon: a blue tile with a white shield and a
#              pulse line; 16 to 256 pixels, 32 bits per pixel
#   badge.ico  the warning badge: a white exclamation mark on a red disc;
#              24 bits per pixel with a mask, sizes in the order listed below
# Run it from anywhere; it rewrites the two .ico files beside it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Masters at 1024 pixels, reduced for each size.
convert -size 1024x1024 gradient:'#4fa3ff-#163c96' "$work/tile.png"
convert -size 1024x1024 xc:black -fill white -draw 'roundrectangle 72,72 952,952 210,210' "$work/tile-mask.png"
convert "$work/tile.png" "$work/tile-mask.png" -alpha off -compose CopyOpacity -composite PNG32:"$work/tile-alpha.png"
# A light top edge and a soft shadow give the tile some depth.
convert -size 1024x1024 gradient:'rgba(255,255,255,0.28)-rgba(255,255,255,0)' \
  "$work/tile-alpha.png" -compose DstIn -composite PNG32:"$work/gloss.png"
convert "$work/tile-alpha.png" "$work/gloss.png" -compose Over -composite PNG32:"$work/tile-lit.png"
convert "$work/tile-mask.png" -background black -alpha copy -channel A -evaluate multiply 0.45 +channel \
  -fill black -colorize 100 -blur 0x18 -roll +0+18 PNG32:"$work/shadow.png"
convert "$work/shadow.png" "$work/tile-lit.png" -compose Over -composite PNG32:"$work/tile-final.png"
# The shield with a pulse line across it.
convert "$work/tile-final.png" \
  -fill 'rgba(10,30,80,0.35)' -draw "path 'M 512,238 L 772,330 C 772,590 690,752 512,850 C 334,752 252,590 252,330 Z'" \
  -fill white -draw "path 'M 512,214 L 772,306 C 772,566 690,728 512,826 C 334,728 252,566 252,306 Z'" \
  -fill none -stroke '#1d56c4' -strokewidth 52 \
  -draw "stroke-linejoin round stroke-linecap round polyline 300,540 420,540 470,420 548,680 610,480 648,540 724,540" \
  PNG32:"$work/app-1024.png"

# Badge: a red disc with a white exclamation mark, drawn to its edge so
# that little is left for the mask to cut away.
convert -size 1024x1024 xc:none \
  -fill '#c62828' -draw 'circle 512,512 512,8' \
  -fill '#e53935' -draw 'circle 512,512 512,56' \
  -fill white -draw 'roundrectangle 438,170 586,640 74,74' \
  -draw 'circle 512,800 512,722' \
  PNG32:"$work/badge-1024.png"

raw() {  # raw MASTER SIZE OUT: the master reduced to SIZE square, as raw RGBA
  convert "$1" -filter Lanczos -resize "$2x$2" -depth 8 "rgba:$3"
}

app_args=()
for s in 16 24 32 48 64 96 128 192 256; do
  raw "$work/app-1024.png" "$s" "$work/app-$s.rgba"
  app_args+=("$s:$work/app-$s.rgba")
done
python3 "$here/pack_ico.py" 32 "$here/app.ico" "${app_args[@]}"

badge_args=()
for s in 16 96 64 32 256 128 48; do
  raw "$work/badge-1024.png" "$s" "$work/badge-$s.rgba"
  badge_args+=("$s:$work/badge-$s.rgba")
done
python3 "$here/pack_ico.py" 24 "$here/badge.ico" "${badge_args[@]}"

