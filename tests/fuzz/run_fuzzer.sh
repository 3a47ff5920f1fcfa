#!/usr/bin/env bash
# Fuzzes one target for a while: new inputs go to a scratch folder, the corpora are only read.
#   run_fuzzer.sh TARGET SECONDS CORPUS...
set -euo pipefail
target=$1 seconds=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
exec "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/" "$scratch" "$@"
