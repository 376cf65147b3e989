#!/usr/bin/env bash
# The main job, as a guided demo: builds the 32-bit gateway and the host tool gwhost, registers the
# simulated access-control client in a Wine prefix of its own (with regsvr32, as the real client library
# is registered) and lets gwhost log in to the simulated site, list the doors, watch events across a
# server outage (the gateway logs in again by itself and gwhost reads the door states again) and across a
# silent one that only the gateway's connection check finds, then, in
# one session of gwhost's shell, send door commands, show the state events they cause and read the latch
# after each, so that what is read is the state the command left. Each step logs in and closes again;
# the lines of the shell step share one login.
#
#   demo.sh [USER [PASSWORD]] [--seconds N] [--debug]
#   demo.sh --help
# The arguments are checked before anything is built or run: a wrong one ends the demo at once, exit code 2.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

usage() {
    cat <<'USAGE'
usage: scripts/demo.sh [USER [PASSWORD]] [--seconds N] [--debug]

Builds the 32-bit gateway and gwhost, registers the simulated access-control client in a Wine prefix of
its own and lets gwhost log in to the simulated site, list the doors, watch events across a server
outage and across a silent one, and send door commands in one session of its shell.

  USER PASSWORD   the account to log in with (default: operator sipass; also Administrator secret)
  --seconds N     how long each event step shows events, 1 to 86400 (default: 12)
  --debug         show the gateway's debug lines too
  --help          show this text
USAGE
}
# One line saying what is wrong and where to read more, exit code 2.
refuse() {
    echo "demo.sh: $1" >&2
    echo 'Run "scripts/demo.sh --help" for the arguments.' >&2
    exit 2
}

user=operator password=sipass seconds=12 level=info
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --seconds)
            [ $# -ge 2 ] || refuse "--seconds needs a number of seconds"
            [[ $2 =~ ^[0-9]{1,5}$ ]] && [ "$((10#$2))" -ge 1 ] && [ "$((10#$2))" -le 86400 ] ||
                refuse "--seconds needs a number of seconds from 1 to 86400, not '$2'"
            seconds=$((10#$2)); shift 2 ;;
        --debug) level=debug; shift ;;
        --) shift; positional+=("$@"); break ;;
        -*) refuse "unknown option $1" ;;
        *) positional+=("$1"); shift ;;
    esac
done
[ ${#positional[@]} -le 2 ] || refuse "at most USER and PASSWORD, not ${#positional[@]} words: ${positional[*]}"
[ ${#positional[@]} -ge 1 ] && user=${positional[0]}
[ ${#positional[@]} -ge 2 ] && password=${positional[1]}
[ -n "$user" ] || refuse "the user name is empty"

echo "==> Preparing: the Debian packages, the 32-bit build, a Wine prefix (a first run builds for a few minutes)"
bash scripts/install-deps.sh
[ -f build/x86/build.ninja ] || cmake --preset x86 >/dev/null
# The build's own progress shows; a build that is up to date says so in one line.
cmake --build --preset x86 --target SiPassVormekGateway SiPassSim gwhost example_sites

export WINEPREFIX="$root/build/demo-prefix"
bash scripts/wine-prefix.sh
bin="$root/build/x86/bin"
# The 32-bit client registers in the 32-bit view of the registry, as on a 64-bit Windows.
scripts/wine-run.sh 'C:\windows\syswow64\regsvr32.exe' /s "$(winepath -w "$bin/SiPassSim.dll" 2>/dev/null)"
echo "Simulated access-control client registered in $WINEPREFIX: $bin/SiPassSim.dll"
echo "gwhost --real uses the registered client, as it would use the real one on Windows."
echo "Every time below is in UTC (gwhost --utc)."

# The simulated client generates a few events per second of its site while gwhost is logged in.
export SIPASS_SIM_EVENT_RATE=${SIPASS_SIM_EVENT_RATE:-3}
# gwhost reads the password from here; it is never shown.
export SIPASS_PASSWORD="$password"
status=0
# Every step shows its times in UTC, so that one base holds from the first line to the last.
step() {
    echo
    echo "==> $1"
    shift
    echo "    gwhost $*"
    "$root/scripts/wine-run.sh" "$bin/gwhost.exe" --real --utc --user "$user" "$@" || { status=$?; return 1; }
}
# One session of gwhost's shell: the lines on the step's standard input are shown, then gwhost runs them.
shell_step() {
    local lines
    lines=$(cat)
    echo
    echo "==> $1"
    echo "    gwhost shell, reading:"
    sed 's/^/      /' <<<"$lines"
    "$root/scripts/wine-run.sh" "$bin/gwhost.exe" --real --utc --user "$user" shell <<<"$lines" || {
        status=$?
        return 1
    }
}

cleanup() { bash "$root/scripts/wine-prefix.sh" stop; }
trap cleanup EXIT

step "The gateway's version" version
if step "Log in and list the doors (the gateway's own log lines on standard error)" \
        doors --log-level "$level"; then
    # The event step plays a small office whose server goes away for 3 s after 2.5 s: events, the lost
    # connection, the gateway's attempts until the server is back, the door states read again, events.
    # The cardholders' Greek, Cyrillic and CJK names arrive as the client gave them (--unchanged-texts).
    outage_site=$(winepath -w "$root/build/x86/sites/outage.json" 2>/dev/null)
    SIPASS_SIM_SITE=$outage_site step "Watch the events of a small office for $seconds seconds; its server goes away for 3 s" \
        watch --seconds "$seconds" --reconnect 500,2000 --log-level error --unchanged-texts
    # The same office whose network path dies for 4 s without a word from the client: the gateway's
    # connection check asks the client every second, finds the loss and the re-login follows as before.
    silent_site=$(winepath -w "$root/build/x86/sites/silent-outage.json" 2>/dev/null)
    SIPASS_SIM_SITE=$silent_site step "The same office for $seconds seconds; its network path dies silently for 4 s, the connection check finds it" \
        watch --seconds "$seconds" --reconnect 500,2000 --check 1000 --log-level error --unchanged-texts
    shell_step "The latch of door 2 at Haupteingang: its state, door commands, and the state each one leaves" <<'LINES'
point 1025
# a permanent unlock: the latch stays unlocked, since the time of the command
command 7 1025 2
point 1025
# a momentary unlock: unlocked, then locked again by itself
command 7 1025 3
point 1025
LINES
else
    echo
    echo "The login as $user failed (exit code $status); the log lines above say why."
fi
exit $status
