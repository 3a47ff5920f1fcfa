#!/usr/bin/env bash
# Replacing a 2,000-frame movie: `quorvex replace` with a 2,000-frame test clip against
# `quorvex extract` of the same movie to an MKV, in the same run; the PSNR of the new pictures
# (mean and worst, RGB, as quorvex decodes them) and, on the YCbCr planes, what the
# rate-distortion step gains over a scale search alone in the same sectors. Prints a Markdown table.
#   bench/replace_movie.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
build=${1:-build}
work=${2:-${TMPDIR:-/tmp}/quorvex-replace-bench}
mkdir -p "$work"
disc="$work/long-movie.bin"
[[ -f $disc ]] || "$build/bin/discbuilder" full long-movie "$disc" 21000 >/dev/null
clip="$work/clip.mkv"
[[ -f $clip ]] || ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=15 -frames:v 2000 -c:v ffv1 "$clip"
rm -rf "$work/out"
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'; }
t_replace=$(seconds "$build/bin/quorvex" replace "${disc%.bin}.cue" --stream 1 --video "$clip" -o "$work/out/new.cue")
t_extract=$(seconds "$build/bin/quorvex" extract "${disc%.bin}.cue" --stream 1 -o "$work/out/movie.mkv")
python3 - "$work/out/new.replace.json" "$t_replace" "$t_extract" <<'PY'
import json, sys
p = json.load(open(sys.argv[1]))["pictures"]
replace, extract = float(sys.argv[2]), float(sys.argv[3])
print("| frames | replace | extract to MKV | replace / extract | mean PSNR | worst PSNR | planes PSNR, fitted | planes PSNR, scale search alone | gain |")
print("|---|---|---|---|---|---|---|---|---|")
print(f"| {p['frames']} | {replace:.2f} s | {extract:.2f} s | {replace / extract:.1f} | {p['mean_psnr_db']} dB | {p['worst_psnr_db']} dB "
      f"| {p['planes_psnr_db']} dB | {p['scale_search_planes_psnr_db']} dB | {p['planes_psnr_db'] - p['scale_search_planes_psnr_db']:+.2f} dB |")
PY
