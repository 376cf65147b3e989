#!/usr/bin/env bash
# wine-run.sh, which every test runs through, passes the program's status and output on unchanged, and a
# program that ends with a failure before writing a byte is started exactly once more (a start Wine lost
# under load looks like that). A status lost on the way would turn every failing test into a passing one.
#   wine-run-status.sh <wine-run.sh>
set -u
run=$1
failed=0
check() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]"
        failed=1
    fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
bash "$run" cmd /c exit 3 >"$work/out" 2>"$work/err" || status=$?
check "silent failure: status" 3 "$status"
check "silent failure: retry notes" 1 "$(grep -c 'without a byte written: started once more$' "$work/err")"
check "silent failure: output" "" "$(cat "$work/out")"

status=0
bash "$run" cmd /c "echo written& exit 4" >"$work/out" 2>"$work/err" || status=$?
check "failure after output: status" 4 "$status"
check "failure after output: output" "written" "$(tr -d '\r ' <"$work/out")"
check "failure after output: standard error" "" "$(cat "$work/err")"

status=0
bash "$run" cmd /c "echo said>&2& exit 5" >"$work/out" 2>"$work/err" || status=$?
check "failure after a line on standard error: status" 5 "$status"
check "failure after a line on standard error: its line" "said" "$(tr -d '\r ' <"$work/err")"

status=0
bash "$run" cmd /c exit 0 >"$work/out" 2>"$work/err" || status=$?
check "success: status" 0 "$status"
check "success: standard error" "" "$(cat "$work/err")"

exit $failed
