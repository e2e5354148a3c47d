#!/bin/sh
# Runs a program of the native build that drives a Windows program under
# Wine (the conformance suite, the endurance host):
#   native-host.sh [--windows-program EXE] NATIVE_PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) when the native build has not made the program yet, or
# when EXE cannot run on this machine (wine.sh --check says why).
set -eu
if [ "${1:-}" = --windows-program ]; then
    "$(dirname "$0")/wine.sh" --check "$2"
    shift 2
fi
if [ -z "${1:-}" ]; then
    echo "no host program configured: use the win32 or win64 preset, which names the native preset's"
    exit 77
fi
if [ ! -x "$1" ]; then
    echo "no $1: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
exec "$@"
