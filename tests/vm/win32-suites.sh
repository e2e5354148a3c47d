#!/bin/sh
# Inside the virtual machine (vm.py): the win32 preset's suites, on a kernel
# that runs 32-bit programs. Making a Wine prefix takes minutes under
# emulation and a copy seconds, so one is made and copied to each place a
# suite keeps its own. Arguments go to ctest.
set -eu
cd "$(dirname "$0")/../.."
build=build/win32
started=$(date +%s)
status=0
tests/windows/run-under-wine.sh --init --prefix "$build/wineprefix" || status=$?
echo "win32 suites: Wine prefix ready after $(($(date +%s) - started)) s (status $status)"
# wineboot may end with a failing status under emulation once the prefix is written.
[ -f "$build/wineprefix/system.reg" ] || exit "$status"
for own in wineprefix-endurance wineprefix-conformance; do
    [ -f "$build/$own/system.reg" ] || cp -a "$build/wineprefix" "$build/$own"
done
echo "win32 suites: prefixes copied after $(($(date +%s) - started)) s"
exec ctest --preset win32 "$@"
