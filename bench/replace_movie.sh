#!/usr/bin/env bash
# Replacing a 2,000-frame movie: `quorvex replace` with a 2,000-frame test clip against
# `quorvex extract` of the same movie to an MKV, in the same run, in CPU time (user and system,
# every thread) and wall time; the PSNR of the new pictures
# (mean and worst, RGB, as quorvex decodes them) and, reckoned from the coefficients' error, what
# the rate-distortion step gains over a scale search alone in the same sectors. Prints a Markdown table.
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
# CPU seconds (user + system) and wall seconds of a command, as bash's own `time` reports them.
measure() {
    local TIMEFORMAT='%U %S %R' out
    out=$({ time "$@" >/dev/null 2>&1; } 2>&1) || { echo "failed: $*" >&2; exit 1; }
    awk '{ printf "%.2f %.2f\n", $1 + $2, $3 }' <<<"$out"
}
read -r cpu_replace wall_replace < <(measure "$build/bin/quorvex" replace "${disc%.bin}.cue" --stream 1 --video "$clip" -o "$work/out/new.cue")
read -r cpu_extract wall_extract < <(measure "$build/bin/quorvex" extract "${disc%.bin}.cue" --stream 1 -o "$work/out/movie.mkv")
python3 - "$work/out/new.replace.json" "$cpu_replace" "$cpu_extract" "$wall_replace" "$wall_extract" <<'PY'
import json, sys
p = json.load(open(sys.argv[1]))["pictures"]
cpu_r, cpu_e, wall_r, wall_e = map(float, sys.argv[2:6])
print("| frames | replace CPU (wall) | extract to MKV CPU (wall) | replace / extract, CPU | mean PSNR | worst PSNR | coefficients' PSNR, fitted | scale search alone | gain |")
print("|---|---|---|---|---|---|---|---|---|")
print(f"| {p['frames']} | {cpu_r:.2f} s ({wall_r:.2f} s) | {cpu_e:.2f} s ({wall_e:.2f} s) | {cpu_r / cpu_e:.1f} | {p['mean_psnr_db']} dB | {p['worst_psnr_db']} dB "
      f"| {p['coefficient_psnr_db']} dB | {p['scale_search_coefficient_psnr_db']} dB | {p['coefficient_psnr_db'] - p['scale_search_coefficient_psnr_db']:+.2f} dB |")
PY
