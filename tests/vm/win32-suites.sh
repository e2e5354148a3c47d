#!/bin/sh
# Inside the virtual machine (vm.py): the win32 preset's suites, on a kernel
# that runs 32-bit programs. wineboot leaves a prefix on the 9p share without
# its 32-bit half, so the prefix lives in the machine's memory for this run.
# Making it takes minutes under emulation and copying it minutes, so one is
# made and each place a suite keeps its own names it. The suites run one
# after another, so none shares the prefix with another at the same time.
# Arguments go to ctest.
set -eu
cd "$(dirname "$0")/../.."
build=build/win32
started=$(date +%s)
mkdir -p "$build/wineprefix"
mount -t tmpfs -o size=4g wineprefix "$build/wineprefix"
status=0
tests/windows/run-under-wine.sh --init --prefix "$build/wineprefix" || status=$?
echo "win32 suites: Wine prefix ready after $(($(date +%s) - started)) s (status $status)"
# Under this machine's emulation wineboot ends with status 53 although the
# prefix it wrote works; a prefix it did not write ends the run.
[ -f "$build/wineprefix/system.reg" ] || exit "$status"
for own in wineprefix-endurance wineprefix-conformance; do
    [ -e "$build/$own" ] || ln -s wineprefix "$build/$own"
done
echo "win32 suites: prefixes named after $(($(date +%s) - started)) s"
exec ctest --preset win32 "$@"
