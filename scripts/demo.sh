#!/usr/bin/env bash
# The main job: builds the 32-bit gateway, registers the simulated access-control client in a Wine prefix
# of its own (with regsvr32, as the real client library is registered) and runs the demo host, which logs
# in to the simulated site, prints the gateway's log lines and closes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
[ -f build/x86/build.ninja ] || cmake --preset x86 >/dev/null
cmake --build --preset x86 --target SiPassVormekGateway SiPassSim demohost >/dev/null

export WINEPREFIX="$root/build/demo-prefix"
bash scripts/wine-prefix.sh
bin="$root/build/x86/bin"
# The 32-bit client registers in the 32-bit view of the registry, as on a 64-bit Windows.
scripts/wine-run.sh 'C:\windows\syswow64\regsvr32.exe' /s "$(winepath -w "$bin/SiPassSim.dll" 2>/dev/null)"
echo "Simulated access-control client registered: $bin/SiPassSim.dll"
echo
cd "$bin"
status=0
# The simulated client generates a few events per second of its site while the demo host is logged in.
SIPASS_SIM_EVENT_RATE=${SIPASS_SIM_EVENT_RATE:-3} "$root/scripts/wine-run.sh" demohost.exe "$@" || status=$?
bash "$root/scripts/wine-prefix.sh" stop
exit $status
