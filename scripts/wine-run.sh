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
# Under heavy parallel load Wine now and then fails to start a program that is there. Two ways are known:
# it says "Application could not be started", or the program ends at once with a failure status without
# having written a single byte (seen once in CI, 0.09 s into a test that runs for seconds and always
# prints its first line at start). Only those two endings are retried, once, and the retry is announced
# on standard error with the status Wine gave, so that the log still shows what happened.
#
# The program's standard error reaches the caller's as it is written (a prompt without a line end
# included): tee passes every byte on at once and keeps a copy, which the checks below read once the
# program has ended. Standard output is passed through the same way when it is not a terminal (at a
# terminal it is left alone, and a person sees for themselves whether anything was written).
errors=$(mktemp)
output=$(mktemp)
ended=$(mktemp)
trap 'rm -f "$errors" "$output" "$ended"' EXIT
run_once() {
    if [ -t 1 ]; then
        status=0
        "$wine" "$@" 2> >(tee "$errors" >&2) || status=$?
        # Everything tee read is passed on and in the copy once it ends (the program's end closes its input).
        wait $!
        echo "(a terminal)" >"$output"
        return
    fi
    {
        status=0
        "$wine" "$@" 2> >(tee "$errors" >&2) || status=$?
        wait $!
        echo "$status" >"$ended"
    } | tee "$output"
    status=$(cat "$ended")
}
for attempt in 1 2; do
    started=$(date +%s%N)
    run_once "$@"
    if [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ]; then
        if grep -q "Application could not be started" "$errors"; then
            continue
        fi
        if [ ! -s "$output" ] && [ ! -s "$errors" ]; then
            echo "wine-run.sh: Wine ended the program with status $status after" \
                 "$(( ($(date +%s%N) - started) / 1000000 )) ms without a byte written: started once more" >&2
            continue
        fi
    fi
    # A program that dies of an unhandled exception can still end with status 0 once Wine's debugger has
    # reported it: such a run never counts as a success.
    if [ "$status" -eq 0 ] && grep -q "^wine: Unhandled " "$errors"; then
        echo "wine-run.sh: the program died of an unhandled exception" >&2
        status=70
    fi
    exit "$status"
done
