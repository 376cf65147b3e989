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

# One CTest tree over both builds, so that one summary covers every test.
cat > build/CTestTestfile.cmake <<'CTEST'
subdirs("x86" "x64")
CTEST

bash scripts/wine-prefix.sh
status=0
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 120 "$@" || status=$?
# Wine's background processes do not outlive the run.
bash scripts/wine-prefix.sh stop
exit $status
