#!/usr/bin/env bash
# Whole-disc measurements: for each family of games, a full 74-minute image (333,000 sectors);
# `quorvex scan` (read in blocks, and with --io mmap) against `cat IMAGE > /dev/null` in the same
# run, warm page cache, best of five; the peak memory of a scan; and one `quorvex rip` of the
# whole disc against the scan. Prints a Markdown table.
#   bench/whole_disc.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
build=${1:-build}
work=${2:-${TMPDIR:-/tmp}/quorvex-whole-disc}
mkdir -p "$work"
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 2; }

measure="$work/measure.txt"
best() {  # best wall time in seconds of five runs of "$@"
    local best=999999 t
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f %e -o "$measure" "$@" >/dev/null 2>&1 || true
        t=$(tail -1 "$measure")
        best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
    done
    echo "$best"
}
peak_kb() {
    /usr/bin/time -f %M -o "$measure" "$@" >/dev/null 2>&1 || true
    tail -1 "$measure"  # time notes a non-zero status on a line of its own first
}

echo "| family | image | cat | quorvex scan | scan / cat | scan, --io mmap | mmap / cat | scan peak memory | streams | rip | rip / scan | rip peak memory |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for family in movies music archive corvane; do
    image="$work/full-$family.bin"
    [[ -f $image ]] || "$build/bin/discbuilder" full "$family" "$image" >/dev/null
    cue="${image%.bin}.cue"
    cat "$image" >/dev/null  # warm the page cache
    t_cat=$(best cat "$image")
    t_scan=$(best "$build/bin/quorvex" scan "$cue")
    t_read=$(best "$build/bin/quorvex" scan --io mmap "$cue")
    kb=$(peak_kb "$build/bin/quorvex" scan "$cue")
    streams=$("$build/bin/quorvex" scan "$cue" | sed -n "1s/.*: //p")
    size=$(( $(stat -c %s "$image") / 1048576 ))
    ratio() { awk -v s="$1" -v c="$2" 'BEGIN { printf "%.1f", (c > 0) ? s / c : 0 }'; }
    rm -rf "$work/rip-$family"
    /usr/bin/time -f "%e %M" -o "$measure" "$build/bin/quorvex" rip "$cue" -o "$work/rip-$family" >/dev/null 2>&1 || true
    read -r t_rip rip_kb < <(tail -1 "$measure")  # the last line: time may note a non-zero status first
    rm -rf "$work/rip-$family"
    echo "| $family | ${size} MiB | ${t_cat} s | ${t_scan} s | $(ratio "$t_scan" "$t_cat") | ${t_read} s |" \
         "$(ratio "$t_read" "$t_cat") | $((kb / 1024)) MiB | $streams | ${t_rip} s | $(ratio "$t_rip" "$t_scan") |" \
         "$((rip_kb / 1024)) MiB |"
done
