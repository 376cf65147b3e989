# Sourced by the Wine helpers: sets `wine` to the command that starts a Windows program here.
#
# Debian's `wine` starts every program through the 32-bit loader, which hands 64-bit programs on to the
# 64-bit one. A machine whose kernel cannot start 32-bit programs ("Exec format error") can run neither
# 32-bit Windows programs nor that loader: 64-bit programs then go straight to the 64-bit loader, and
# `wine32_runs` is 0 so that the x86 tests can be left out with a notice instead of failing to start.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine=wine
    wine32_runs=1
else
    wine=/usr/lib/wine/wine64
    export WINELOADER=/usr/lib/wine/wine64
    wine32_runs=0
fi
