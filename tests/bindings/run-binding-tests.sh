#!/usr/bin/env bash
# Runs the .NET binding's test program (BindingTests.cs) on a Windows .NET Core runtime under Wine:
#   run-binding-tests.sh x64|x86 BIN_DIR ARGS...
# BIN_DIR holds BindingTests.dll beside the gateway DLL and the simulator, as a host's program lies beside
# them. The runtime comes from scripts/dotnet-runtime.sh (downloaded once into build/dotnet).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
arch=$1 bin=$2
shift 2

# shellcheck source=../../scripts/wine-loader.sh
. "$root/scripts/wine-loader.sh"
if [ "$arch" = x86 ] && [ "$wine32_runs" != 1 ]; then
    echo "run-binding-tests.sh: NOTICE: this machine cannot start 32-bit programs (Exec format error):" \
         "the x86 .NET runtime cannot run here; the x86 binding test is skipped." >&2
    exit 77
fi
runtime=$(bash "$root/scripts/dotnet-runtime.sh" "$arch")
cd "$bin"
exec bash "$root/scripts/wine-run.sh" "$runtime/dotnet.exe" BindingTests.dll "$@"
