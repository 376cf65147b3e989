#!/usr/bin/env bash
# Builds both architectures and runs the whole test suite under Wine; installs what it needs on first use.
# The output ends with CTest's summary over both architectures.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

for arch in x86 x64; do
    [ -f "build/$arch/build.ninja" ] || cmake --preset "$arch" >/dev/null
    cmake --build --preset "$arch"
done

# One CTest tree over both builds, so that one summary covers every test. Where this machine's kernel
# cannot start 32-bit programs, no x86 test can start either: they are left out, loudly.
. scripts/wine-loader.sh
if [ "$wine32_runs" = 1 ]; then
    echo 'subdirs("x86" "x64")' > build/CTestTestfile.cmake
else
    echo 'subdirs("x64")' > build/CTestTestfile.cmake
    echo "run-tests.sh: NOTICE: this machine cannot start 32-bit programs (Exec format error):" \
         "the x86 build was made, its tests are not run; only the x64 tests run." >&2
fi

# The Windows .NET runtimes of the .NET binding's test, from the npm registry into build/dotnet (quick when
# they are there).
bash scripts/dotnet-runtime.sh x64 >/dev/null
if [ "$wine32_runs" = 1 ]; then
    bash scripts/dotnet-runtime.sh x86 >/dev/null
fi

bash scripts/wine-prefix.sh
status=0
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 120 "$@" || status=$?
# Wine's background processes do not outlive the run.
bash scripts/wine-prefix.sh stop
exit $status
