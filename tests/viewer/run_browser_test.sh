#!/usr/bin/env bash
# The viewer's browser test, or a failure that says what it lacks: Node, Debian's Chromium, or the
# npm packages `scripts/run test` installs (npm ci in tests/viewer).
#   run_browser_test.sh QUORVEX SAMPLES WORK_DIR SHOTS_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
command -v node >/dev/null || missing+=("node (Debian's nodejs)")
command -v chromium >/dev/null || missing+=("chromium (Debian's chromium)")
[[ -d $here/node_modules/ws && -d $here/node_modules/axe-core ]] || missing+=("the npm packages (npm ci --prefix tests/viewer)")
if ((${#missing[@]})); then
    echo "the viewer's browser test cannot run without: ${missing[*]}" >&2
    exit 1
fi
exec node "$here/browser_test.mjs" "$@"
