#!/usr/bin/env bash
# quorvex installed as a tool: `cmake --install` into a prefix, the prefix moved elsewhere, and
# the programs there find their libraries, their plug-ins and the media module by themselves,
# with nothing of the build tree named in what was installed.
#   install_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/first" --strip >/dev/null
[[ ! -e $work/first/bin/discbuilder ]] || fail "the test disc builder was installed without being asked for"
cmake --install "$build" --prefix "$work/first" --strip --component builder >/dev/null
mv "$work/first" "$work/moved"
prefix="$work/moved"
quorvex="$prefix/bin/quorvex"
for f in "$quorvex" "$prefix/bin/discbuilder" "$prefix/lib/libdiscwell.so" "$prefix/lib/quorvex/plugins/selvane.PSR"; do
    [[ -f $f ]] || fail "$f was not installed"
done
# Stripped: no debugging sections in what was installed.
if readelf -S "$quorvex" | grep -q '\.debug_info'; then fail "quorvex was installed with its debugging information"; fi
# Each output is taken whole before it is searched: under pipefail, a grep -q that stops at its
# first match would fail the pipeline when the writer is killed by the closed pipe.
run_paths=$(readelf -d "$quorvex" "$prefix/bin/discbuilder" "$prefix"/lib/*.so "$prefix"/lib/quorvex/plugins/*.PSR)
if grep -E 'R(UN)?PATH' <<< "$run_paths" | grep -F "$build" >/dev/null; then
    fail "an installed file names the build folder in its run path"
fi
libraries=$(ldd "$quorvex")
grep -qF "$prefix/bin/../lib/libdiscwell.so" <<< "$libraries" || fail "quorvex does not find the installed libdiscwell.so: $libraries"

# A clean environment, a copy of a sample disc: only the installed tree serves.
cp "$build/samples/selvane.bin" "$build/samples/selvane.cue" "$work/"
run() { env -i "$@"; }
grep -q '^quorvex [0-9]' <<< "$(run "$quorvex" --version)" || fail "--version"
[[ $(grep -c '\.PSR' <<< "$(run "$quorvex" plugins)") == 10 ]] || fail "the ten plug-ins are not found from the installation"
grep -q 'selvane.cue: 2 streams' <<< "$(run "$quorvex" scan "$work/selvane.cue")" || fail "scan from the installation"
run "$prefix/bin/discbuilder" list >/dev/null || fail "discbuilder from the installation"
if [[ -f $prefix/lib/libquorvex_media.so ]]; then
    run "$quorvex" extract "$work/selvane.cue" --stream 1 -o "$work/movie.mkv" >/dev/null || fail "extract to a media file"
fi
echo "installed, moved, and ran from $prefix"
