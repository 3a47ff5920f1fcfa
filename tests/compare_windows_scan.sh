#!/usr/bin/env bash
# quorvex.exe under wine64 loads every .PSR of its folder and prints the same plug-in list and the
# same stream table for every sample disc as the native build does, and writes the same pictures
# and sound.
#   compare_windows_scan.sh EMULATOR QUORVEX_EXE NATIVE_QUORVEX SAMPLE_DIR
set -euo pipefail
emulator=$1 exe=$2 native=$3 samples=$4
if [[ ! -x $native ]]; then
    echo "the native build's quorvex ($native) is needed to compare with: build the default preset first"
    exit 1
fi
export WINEDEBUG=-all
cd "$samples"
discs=(*.cue)
status=0
compare() {
    local what=$1
    shift
    if ! diff <("$native" "$@" | sed 's/\r$//') <("$emulator" "$exe" "$@" | sed 's/\r$//'); then
        echo "quorvex.exe $what differs from the native build's"
        status=1
    fi
}
compare plugins plugins
compare scan scan "${discs[@]}"
compare "scan --json" scan --json "${discs[@]}"

# Names outside the ANSI code page open through the wide-character calls.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp selvane.bin "$work/セルヴェイン.bin"
# (The whole output is taken first: grep -q would stop reading at the first match, and quorvex
# rightly fails when the rest of what it writes cannot be written.)
listed=$(LC_ALL=C.UTF-8 "$emulator" "$exe" scan "$work/セルヴェイン.bin" || true)
if ! grep -q "セルヴェイン.bin: 2 streams" <<< "$listed"; then
    echo "quorvex.exe cannot open an image with a Japanese name"
    status=1
fi
# A build without FFmpeg refuses media files and says why, writing nothing.
if "$emulator" "$exe" extract selvane.cue --plugin selvane --stream 0 -o "$work/movie.mkv" 2> "$work/err.txt" ||
   ! grep -q "built without FFmpeg" "$work/err.txt" || [[ -e $work/movie.mkv ]]; then
    echo "quorvex.exe does not refuse a media file plainly"
    status=1
fi
# Pictures and WAV sound without FFmpeg: the same pixels and the same samples as the native
# build's (which writes its WAV through FFmpeg), read back by ffmpeg.
decoded() { ffmpeg -v error -i "$1" -f "$2" ${3:+-pix_fmt $3} - | md5sum; }
for disc in selvane tamsel; do
    "$native" extract $disc.cue --plugin $disc --stream 0 --frames "$work/$disc-native" -o "$work/$disc-native.wav" > /dev/null
    if ! "$emulator" "$exe" extract $disc.cue --plugin $disc --stream 0 --frames "$work/$disc-exe" -o "$work/$disc-exe.wav" > /dev/null; then
        echo "quorvex.exe cannot write $disc's pictures and sound"
        status=1
        continue
    fi
    if ! diff <(cd "$work/$disc-native" && ls) <(cd "$work/$disc-exe" && ls); then
        echo "quorvex.exe writes other pictures of $disc than the native build"
        status=1
    fi
    for png in "$work/$disc-native"/*.png; do
        if [[ $(decoded "$png" rawvideo rgb24) != $(decoded "$work/$disc-exe/${png##*/}" rawvideo rgb24) ]]; then
            echo "quorvex.exe's ${png##*/} of $disc differs from the native build's"
            status=1
        fi
    done
    if [[ $(decoded "$work/$disc-native.wav" s16le) != $(decoded "$work/$disc-exe.wav" s16le) ]]; then
        echo "quorvex.exe's WAV of $disc differs from the native build's"
        status=1
    fi
done
# Its own WAV it may replace (--force); a video file it refuses, naming what it writes.
if ! "$emulator" "$exe" extract ostrand.cue --plugin ostrand --stream 0 -o "$work/selvane-exe.wav" --force > /dev/null; then
    echo "quorvex.exe does not replace its own WAV with --force"
    status=1
fi
if ! grep -q "it writes .wav sound, PNG pictures" "$work/err.txt"; then
    echo "quorvex.exe does not say which outputs it writes: $(cat "$work/err.txt")"
    status=1
fi

[[ $status -eq 0 ]] && echo "quorvex.exe and quorvex agree on ${#discs[@]} sample discs"
exit $status
