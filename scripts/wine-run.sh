#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's hermetic settings. The prefix lives in the
# build tree; scripts/wine-prefix.sh boots it (and keeps a wineserver) before tests run.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# BSTR allocations bypass the cache, so the leak accounting sees every one of them.
export OANOCACHE=1
# Local time differs from UTC here, so a mix-up between the two fails a test instead of hiding.
export TZ=${TZ:-XYZ-3}
exec wine "$@"
