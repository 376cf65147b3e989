#!/usr/bin/env bash
# Boots the project's Wine prefix and leaves a persistent wineserver running, all output sent to
# /dev/null, so that Wine's background services never hold CTest's pipes open.
#   wine-prefix.sh         boot (quick when it already runs)
#   wine-prefix.sh stop    stop this prefix's wineserver only
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ "${1:-}" = stop ]; then
    wineserver -k >/dev/null 2>&1 || true
    exit 0
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-prefix: creating the Wine prefix $WINEPREFIX (once; it takes a minute)" >&2
fi
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true   # fails harmlessly when one already runs
# shellcheck source=wine-loader.sh
. "$root/scripts/wine-loader.sh"
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
