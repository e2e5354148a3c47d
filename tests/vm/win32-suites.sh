#!/bin/sh
# Inside the virtual machine (vm.py): the win32 preset's suites, on a kernel
# that runs 32-bit programs.
#
#   win32-suites.sh STORE [CTEST ARGUMENT]...
#
# STORE is a host directory the machine may write: the Wine prefix kept
# between boots (tests/windows/wine-prefix.sh) and ctest-results.xml of the tests labelled
# wine, the ones that run Windows programs. Everything else is
# written into the machine's memory over the read-only host tree: Wine maps
# its programs into memory, and programs mapped from a writable 9p share
# read pages of zeros and crash at start-up. The suites run one after
# another in one prefix, named for each suite that keeps its own.
set -eu
cd "$(dirname "$0")/../.."
store=$(cd "$1" && pwd)
shift
build=build/win32
started=$(date +%s)
tests/windows/run-under-wine.sh --init --prefix "$build/wineprefix" --store "$store"
for own in wineprefix-endurance wineprefix-conformance wineprefix-trace; do
    [ -e "$build/$own" ] || ln -s wineprefix "$build/$own"
done
echo "win32 suites: prefix ready after $(($(date +%s) - started)) s"
# Only the tests that run Windows programs (label wine): the rest run on the host.
exec ctest --preset win32 -L wine --output-junit "$store/ctest-results.xml" "$@"
