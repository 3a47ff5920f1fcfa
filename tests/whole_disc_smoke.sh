#!/usr/bin/env bash
# A whole-disc run of each family, at a size that fits CI: the builder writes a full disc's layout
# on SECTORS sectors, quorvex scans it and rips every stream. Run under the sanitizers, it shows
# that nothing on such a disc makes them report. A rip may report streams it could not write (a
# plug-in that claims another game's movie, whose pictures it cannot decode): exit status 1 or 3,
# never a crash.
#   whole_disc_smoke.sh BUILD_DIR SECTORS
set -euo pipefail
build=$1 sectors=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for family in movies music archive corvane; do
    # The music layout's first song ends past sector 1,900.
    size=$sectors
    [[ $family == music ]] && (( size < 2000 )) && size=2000
    "$build/bin/discbuilder" full "$family" "$work/$family.bin" "$size"
    "$build/bin/quorvex" scan "$work/$family.cue" > "$work/$family.txt"
    status=0
    "$build/bin/quorvex" rip "$work/$family.cue" -o "$work/rip-$family" > /dev/null 2> "$work/rip-$family.err" || status=$?
    if (( status != 0 && status != 1 && status != 3 )) || grep -q "Sanitizer" "$work/rip-$family.err"; then
        cat "$work/rip-$family.err"
        echo "$family: the rip ended with status $status"
        exit 1
    fi
    echo "$family: $(head -1 "$work/$family.txt" | sed 's/.*: //'), $(ls "$work/rip-$family/$family" | wc -l) files, rip status $status"
done
