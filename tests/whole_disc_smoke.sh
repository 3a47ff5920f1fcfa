#!/usr/bin/env bash
# A whole-disc run of each family, at a size that fits CI: the builder writes a full disc's layout
# on SECTORS sectors, quorvex scans it and rips every stream. Run under the sanitizers, it shows
# that nothing on such a disc makes them report.
#   whole_disc_smoke.sh BUILD_DIR SECTORS
set -euo pipefail
build=$1 sectors=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for family in movies music archive corvane; do
    "$build/bin/discbuilder" full "$family" "$work/$family.bin" "$sectors"
    "$build/bin/quorvex" scan "$work/$family.cue" > "$work/$family.txt"
    "$build/bin/quorvex" rip "$work/$family.cue" -o "$work/rip-$family" > /dev/null
    echo "$family: $(head -1 "$work/$family.txt" | sed 's/.*: //'), $(ls "$work/rip-$family" | wc -l) files"
done
