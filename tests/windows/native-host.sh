#!/bin/sh
# Runs a program of the native build that drives a Windows program under
# Wine (the conformance suite, the endurance host):
#   native-host.sh NATIVE_PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) when the native build has not made the program yet.
set -eu
if [ ! -x "$1" ]; then
    echo "no $1: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
exec "$@"
