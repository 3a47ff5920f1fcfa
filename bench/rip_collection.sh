#!/usr/bin/env bash
# Ripping measured side by side in one run on the full movies disc: quorvex rip with -j 1 and with
# a job per core; selvane's streams (the layout FFmpeg's own STR demuxer reads) ripped by quorvex
# and transcoded by the ffmpeg command with the same encoder settings, one process per stream, as
# many at once as quorvex runs; --frames against ffmpeg writing PNGs; the default x264 preset
# against the others (time and PSNR against the lossless pictures). Prints Markdown tables.
#   bench/rip_collection.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/quorvex-rip-collection}
mkdir -p "$work" && cd "$work"
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
q="$build/bin/quorvex"
cores=$(nproc)
[[ -f movies.bin ]] || "$build/bin/discbuilder" full movies movies.bin >/dev/null
timed() {  # "seconds | CPU%" of "$@"
    /usr/bin/time -f "%e %P" -o measure.txt "$@" >/dev/null 2>&1 || true
    tail -1 measure.txt | awk '{ printf "%s s | %s", $1, $2 }'
}

# selvane's streams cut from the disc as STR files for ffmpeg.
"$q" scan --all --json movies.cue > scan.json
rm -rf str && mkdir str
python3 - <<'PY'
import json
disc = open("movies.bin", "rb")
for s in json.load(open("scan.json"))["discs"][0]["streams"]:
    if s["plugin"] == "selvane":
        disc.seek(s["start_sector"] * 2352)
        open("str/%03d.str" % s["index"], "wb").write(disc.read(s["sector_count"] * 2352))
PY
x264="-c:v libx264 -preset veryfast -crf 18 -x264-params bf=0 -threads 1"

echo "| job | wall | CPU |"
echo "|---|---|---|"
rm -rf rip1 ripn; echo "| quorvex rip, whole disc, -j 1 | $(timed "$q" rip movies.cue -o rip1 -j 1) |"
echo "| quorvex rip, whole disc, -j $cores | $(timed "$q" rip movies.cue -o ripn -j "$cores") |"
rm -rf sel ff && mkdir ff
echo "| quorvex rip --plugin selvane -j $cores ($(ls str | wc -l) streams) | $(timed "$q" rip movies.cue --plugin selvane -o sel -j "$cores") |"
echo "| ffmpeg, the same streams, $cores at once | $(timed sh -c "ls str/*.str | xargs -P$cores -I{} sh -c 'ffmpeg -v quiet -y -i {} $x264 -c:a flac ff/\$(basename {} .str).mkv'") |"
rm -rf qp fp && mkdir fp
echo "| quorvex extract --frames (300 frames) | $(timed "$q" extract movies.cue --plugin selvane --stream 0 --frames qp) |"
echo "| ffmpeg to PNG, the same frames | $(timed ffmpeg -v quiet -i str/000.str -an fp/frame_%06d.png) |"

echo
echo "| x264 preset (CRF 18) | encode time | size | PSNR against lossless |"
echo "|---|---|---|---|"
rm -f ref.mkv && "$q" extract movies.cue --plugin selvane --stream 0 --lossless -o ref.mkv >/dev/null
for preset in fast veryfast superfast ultrafast; do
    t=$(timed ffmpeg -v error -y -i ref.mkv -an -c:v libx264 -preset "$preset" -crf 18 -x264-params bf=0 -threads 1 "p-$preset.mkv")
    psnr=$(ffmpeg -i "p-$preset.mkv" -i ref.mkv -lavfi psnr -f null - 2>&1 | grep -o "average:[0-9.]*" | cut -d: -f2)
    echo "| $preset | ${t%% |*} | $(( $(stat -c %s "p-$preset.mkv") / 1024 )) KiB | $psnr dB |"
done
