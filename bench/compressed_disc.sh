#!/usr/bin/env bash
# A full 74-minute movies disc in each compressed format: `quorvex scan` of the compressed image
# against what a user pays without it, `chdman extractcd` of the same CHD back to BIN/CUE on the
# same disk, in the same run; wall time, CPU share and peak memory of each. Prints a Markdown table.
#   bench/compressed_disc.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
build=${1:-build}
work=${2:-${TMPDIR:-/tmp}/quorvex-compressed-disc}
mkdir -p "$work"
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
command -v chdman >/dev/null || { echo "needs chdman (apt-get install mame-tools)" >&2; exit 2; }

bin="$work/movies.bin"
[[ -f $bin ]] || "$build/bin/discbuilder" full movies "$bin" >/dev/null
[[ -f $work/movies.chd ]] || chdman createcd -i "${bin%.bin}.cue" -o "$work/movies.chd" >/dev/null
for f in chd-zstd ecm pbp; do
    out="$work/movies.$f"
    [[ -f $out ]] || "$build/bin/discbuilder" convert "$bin" "$f" "$out" >/dev/null
done

measure="$work/measure.txt"
run() {  # prints "seconds cpu% peak-MiB" of one run of "$@"
    /usr/bin/time -f "%e %P %M" -o "$measure" "$@" >/dev/null 2>&1 || true
    tail -1 "$measure" | awk '{ printf "%s s | %s | %d MiB", $1, $2, $3 / 1024 }'
}
mib() { echo "$(( $(stat -c %s "$1") / 1048576 )) MiB"; }

echo "| job | image | wall | CPU | peak memory |"
echo "|---|---|---|---|---|"
echo "| quorvex scan, BIN/CUE | $(mib "$bin") | $(run "$build/bin/quorvex" scan "${bin%.bin}.cue") |"
echo "| quorvex scan, CHD by chdman (cdlz, cdzl, cdfl) | $(mib "$work/movies.chd") | $(run "$build/bin/quorvex" scan "$work/movies.chd") |"
rm -f "$work/y.cue" "$work/y.bin"
echo "| chdman extractcd of that CHD | $(mib "$work/movies.chd") | $(run chdman extractcd -i "$work/movies.chd" -o "$work/y.cue" -ob "$work/y.bin") |"
rm -f "$work/y.cue" "$work/y.bin"
echo "| quorvex scan, CHD (cdzs) | $(mib "$work/movies.chd-zstd") | $(run "$build/bin/quorvex" scan "$work/movies.chd-zstd") |"
echo "| quorvex scan, ECM | $(mib "$work/movies.ecm") | $(run "$build/bin/quorvex" scan "$work/movies.ecm") |"
echo "| quorvex scan, PBP | $(mib "$work/movies.pbp") | $(run "$build/bin/quorvex" scan "$work/movies.pbp") |"
