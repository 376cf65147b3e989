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
# shellcheck source=wine-loader.sh
. "$root/scripts/wine-loader.sh"
# Under heavy parallel load Wine now and then fails to load a program that is there ("Application could
# not be started"); only that launch failure is retried, once (what Wine said about it is shown).
#
# The program's standard error reaches the caller's as it is written (a prompt without a line end
# included): tee passes every byte on at once and keeps a copy, which the checks below read once the
# program has ended. Standard output is not touched.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
    status=0
    "$wine" "$@" 2> >(tee "$errors" >&2) || status=$?
    # Everything tee read is passed on and in the copy once it ends (the program's end closes its input).
    wait $!
    if [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ] && grep -q "Application could not be started" "$errors"; then
        continue
    fi
    # A program that dies of an unhandled exception can still end with status 0 once Wine's debugger has
    # reported it: such a run never counts as a success.
    if [ "$status" -eq 0 ] && grep -q "^wine: Unhandled " "$errors"; then
        echo "wine-run.sh: the program died of an unhandled exception" >&2
        status=70
    fi
    exit "$status"
done
