#!/bin/sh
# Runs a program of the native build that drives a Windows program under
# Wine (the conformance suite, the endurance host):
#   native-host.sh NATIVE_PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) when the native build has not made the program yet.
set -eu
if [ -z "${1:-}" ]; then
    echo "no host program configured: use the win32 or win64 preset, which names the native preset's"
    exit 77
fi
if [ ! -x "$1" ]; then
    echo "no $1: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
exec "$@"
