#!/usr/bin/env bash
# gwhost record cut by Ctrl+C at a terminal, as a person ends a recording: tmux runs it under Wine on the
# built-in site (20 events a second, no --seconds), Ctrl+C is typed after a few seconds, and the recording
# must end with its summary and exit code 0, leave no temporary file, and be a site file that gwhost plays:
# `gwhost --site` accepts it (the simulator checks every reference and duplicate) and lists its doors.
#   record-interrupted.sh EMULATOR GWHOST WORK
# Exit code 0 when every check passes, 1 when one fails, 77 (skipped) when tmux is not installed.
set -u
emulator=$1
gwhost=$2
work=$3

if ! command -v tmux >/dev/null 2>&1; then
    echo "tmux is not installed: skipped"
    exit 77
fi

export LANG=C.UTF-8 LC_ALL=C.UTF-8
server=(tmux -L "gwhost-record-$$" -f /dev/null)
trap '"${server[@]}" kill-server >/dev/null 2>&1' EXIT
rm -rf "$work" && mkdir -p "$work"
cut="$work/cut.json"

screen() {
    "${server[@]}" capture-pane -p -S - -t record
}

fail() {
    echo "FAIL: $1"
    echo "--- the pane:"
    screen
    echo "---"
    exit 1
}

# wait_for REGEX SECONDS
wait_for() {
    local deadline=$((SECONDS + $2))
    while [ "$SECONDS" -lt "$deadline" ]; do
        screen | grep -Eq -- "$1" && return 0
        sleep 0.2
    done
    return 1
}

"${server[@]}" new-session -d -s record -x 200 -y 50 \
    "cd '$work' && SIPASS_PASSWORD=sipass SIPASS_SIM_EVENT_RATE=20 '$emulator' '$gwhost' record --out cut.json; \
     echo \"gwhost ended: exit code \$?\"; sleep 600"
# The temporary file appears before the login; events come in from the login on.
deadline=$((SECONDS + 30))
until ls "$work"/*.partial >/dev/null 2>&1 || [ "$SECONDS" -ge "$deadline" ]; do sleep 0.2; done
ls "$work"/*.partial >/dev/null 2>&1 || fail "no temporary file while recording"
sleep 4
[ -e "$cut" ] && fail "the site file exists before the recording has ended"
"${server[@]}" send-keys -t record C-c
wait_for '^gwhost ended: exit code [0-9]+$' 30 || fail "gwhost did not end after Ctrl+C"
screen | grep -Eq '^gwhost ended: exit code 0$' || fail "exit code other than 0"
screen | grep -Eq '(^|\^C)recorded cut.json: 3 devices, 7 doors, 28 points, [0-9]+ cardholders?$' ||
    fail "no summary of the recording"
ls "$work"/*.partial >/dev/null 2>&1 && fail "a temporary file is left"
[ -s "$cut" ] || fail "no site file"
events=$(grep -Ec '"kind":"(state|access|generic)"' "$cut")
[ "$events" -ge 10 ] || fail "only $events events in four seconds at 20 a second"
password=$(sed -n 's/.*"password":"\([A-Za-z0-9]*\)".*/\1/p' "$cut")
played=$(cd "$work" && SIPASS_PASSWORD="$password" "$emulator" "$gwhost" --site cut.json doors 2>&1)
echo "$played" | grep -q '3 devices, 7 doors' || { echo "$played"; fail "gwhost does not play the cut recording"; }
echo "gwhost record cut by Ctrl+C: $events events, a valid site file"
exit 0
