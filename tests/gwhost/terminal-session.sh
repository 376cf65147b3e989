#!/usr/bin/env bash
# gwhost's shell at a real terminal, as a person uses it: tmux runs gwhost under Wine in a pane with a
# UTF-8 locale, the keys are typed into the pane and what the pane shows is read back.
#   terminal-session.sh EMULATOR GWHOST
# Exit code 0 when every check passes, 1 when one fails, 77 (skipped) when tmux is not installed.
#
# Three sessions on the built-in site, without SIPASS_PASSWORD; in each the password prompt shows before
# the password is typed:
#   1. `doors` shows the German names as they are; Ctrl+D ends the shell with exit code 0;
#   2. Ctrl+C at the prompt ends the shell with exit code 0;
#   3. a bad line's error shows before the next prompt; Ctrl+D then ends the shell with exit code 1.
# Every wait is bounded, and all of them together by a deadline that ends the test before CTest's timeout;
# the pane is printed whenever a check fails.
set -u
emulator=$1
gwhost=$2

if ! command -v tmux >/dev/null 2>&1; then
    echo "tmux is not installed: skipped"
    exit 77
fi

export LANG=C.UTF-8 LC_ALL=C.UTF-8
# A tmux server of this test's own (its own socket, no configuration file), never the user's.
server=(tmux -L "gwhost-terminal-$$" -f /dev/null)
trap '"${server[@]}" kill-server >/dev/null 2>&1' EXIT

pane=""
failed=0
give_up_at=$((SECONDS + 100))

# The pane's text with its history (blanks at the ends of lines are not kept).
screen() {
    "${server[@]}" capture-pane -p -S - -t "$pane"
}

show_pane() {
    echo "--- the pane ($pane):"
    screen
    echo "---"
}

check_failed() {
    echo "FAIL: $1"
    show_pane
    failed=1
}

# wait_for REGEX SECONDS: until a line of the pane matches the extended regular expression.
wait_for() {
    local deadline=$((SECONDS + $2))
    [ "$deadline" -le "$give_up_at" ] || deadline=$give_up_at
    while [ "$SECONDS" -lt "$deadline" ]; do
        screen | grep -Eq -- "$1" && return 0
        sleep 0.2
    done
    return 1
}

# start NAME: gwhost's shell in a new pane; its exit code is shown in the pane when it ends.
start() {
    pane=$1
    "${server[@]}" new-session -d -s "$pane" -x 200 -y 50 \
        "cd '$(dirname "$gwhost")' && env -u SIPASS_PASSWORD '$emulator' '$gwhost' shell; \
         echo \"gwhost ended: exit code \$?\"; sleep 600"
}

keys() {
    "${server[@]}" send-keys -t "$pane" "$@"
}

# type_password: the prompt must be on the screen before anything is typed, as a person waits for it.
type_password() {
    if ! wait_for '^Password for operator: *$' 30; then
        check_failed "no password prompt on the screen before typing"
        return 1
    fi
    keys -l sipass
    keys Enter
    if ! wait_for '^gwhost> *$' 30; then
        check_failed "no shell prompt after the password"
        return 1
    fi
}

# expect_exit CODE: the shell ends with that exit code.
expect_exit() {
    if ! wait_for '^gwhost ended: exit code [0-9]+$' 30; then
        check_failed "gwhost did not end"
        return 1
    fi
    if ! screen | grep -Eq "^gwhost ended: exit code $1\$"; then
        check_failed "exit code other than $1"
        return 1
    fi
}

# Session 1: the password typed at its prompt, the door table, Ctrl+D.
start typed
if type_password; then
    keys -l doors
    keys Enter
    # A door's latch of the built-in site, its umlaut and its sharp s shown as themselves.
    latch='^        latch       1025    Haupteingang Tür 2 Schließriegel +eLocked \(eStateNormal\)$'
    wait_for '^device 3  Lager$' 30 || check_failed "doors did not finish"
    screen | grep -Eq -- "$latch" || check_failed "the latch of Haupteingang door 2 is not shown as it is named"
    keys C-d
    expect_exit 0
fi

# Session 2: Ctrl+C at the prompt.
start interrupted
if type_password; then
    keys C-c
    expect_exit 0
fi

# Session 3: a line that fails. Its error shows before the prompt for the next line, on a line of its
# own; the shell goes on, and Ctrl+D ends it with the exit code of a failed line.
start failing
if type_password; then
    keys -l "point 12x"
    keys Enter
    expected="gwhost> point 12x
gwhost: point: '12x' is not a 32-bit number (help lists the commands)
gwhost>"
    after=""
    deadline=$((SECONDS + 30))
    while [ "$SECONDS" -lt "$deadline" ] && [ "$SECONDS" -lt "$give_up_at" ]; do
        # The typed line and the two after it, once the prompt after the error has come.
        after=$(screen | sed -n '/^gwhost> point 12x$/,$p' | sed -n '1,3p')
        [ "$after" = "$expected" ] && break
        sleep 0.2
    done
    [ "$after" = "$expected" ] || check_failed "not the bad line's error and then the next prompt"
    keys C-d
    expect_exit 1
fi

[ "$failed" -eq 0 ] && echo "gwhost at a terminal: every check passed"
exit "$failed"
