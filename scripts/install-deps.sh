#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quick when they are already there.
set -euo pipefail

# npm fetches the Windows .NET runtimes of the .NET binding's test (scripts/dotnet-runtime.sh); Debian's
# package only where no npm is there, since a Node.js installed from elsewhere brings its own npm and
# conflicts with Debian's.
# clang-tools-14 (clang-cl), lld-14 (lld-link) and libwine-dev (Windows and C runtime headers that clang-cl
# compiles in MSVC mode) build the MSVC-style test hosts; clang-14 builds the package's example as the
# package's README says for Debian. tmux gives gwhost's terminal test a real terminal.
packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          googletest libboost-dev wine wine64 wine32:i386 binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 nlohmann-json3-dev llvm python3 mono-mcs mono-runtime
          clang-14 clang-tools-14 lld-14 libwine-dev tmux)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root or install them" >&2
    exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "install-deps: installing ${#missing[@]} Debian packages (once): ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
