#!/usr/bin/env bash
# The export and import tables of Windows .PSR plug-ins: each exports exactly its family's Psr
# entry points under their plain names, imports the five Cd operations from discwell.dll by name,
# and needs no other DLL than the system's own.
#   check_pe_tables.sh PLUGIN.PSR...
set -uo pipefail
objdump=objdump
command -v "$objdump" >/dev/null || objdump=i686-w64-mingw32-objdump
status=0
common="PsrClose PsrGetStrDataInfo PsrIsSupportCDBegin PsrIsSupportCDEnd PsrIsSupportCDResult PsrIsSupportCDSector PsrOpenCD PsrQueryPlugin PsrRead PsrSeek"
cd_ops="CdReadClose CdReadOpen CdReadSector CdSetReadPointer CdUnlockReadBuffer"
for plugin in "$@"; do
    name=$(basename "$plugin" .PSR)
    table=$("$objdump" -p "$plugin") || { echo "$plugin: objdump failed"; status=1; continue; }
    want="$common"
    [[ $name == nimbrel_* ]] && want="$want PsrDecodeAudio"
    want=$(tr ' ' '\n' <<<"$want" | sort | paste -sd' ')
    exported=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {on=0}' <<<"$table" |
               sort | paste -sd' ')
    if [[ $exported != "$want" ]]; then
        echo "$plugin: exports [$exported], expected [$want]"
        status=1
    fi
    imported=$(awk 'tolower($0) ~ /dll name: discwell\.dll/ {on=1; next} on && NF == 0 {on=0} on && $1 ~ /^[0-9a-f]+$/ {print $NF}' <<<"$table" |
               sort | paste -sd' ')
    if [[ $imported != "$cd_ops" ]]; then
        echo "$plugin: imports [$imported] from discwell.dll, expected [$cd_ops]"
        status=1
    fi
    others=$(grep -i 'DLL Name:' <<<"$table" | awk '{print tolower($3)}' | grep -v -E '^(discwell\.dll|kernel32\.dll|msvcrt\.dll|user32\.dll|advapi32\.dll|api-ms-win-.*\.dll)$' | paste -sd' ')
    if [[ -n $others ]]; then
        echo "$plugin: needs [$others] beyond discwell.dll and the system's DLLs"
        status=1
    fi
    [[ $status -eq 0 ]] && echo "$plugin: ok"
done
exit $status
