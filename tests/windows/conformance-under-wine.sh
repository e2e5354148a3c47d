#!/bin/sh
# Runs the host-side conformance suite of a native build against a Windows
# tarvo.exe under Wine:  conformance-under-wine.sh NATIVE_SUITE TARVO_EXE
# Exits 77 (skipped) when the native build has not made the suite yet.
set -eu
suite=$1
exe=$2
if [ ! -x "$suite" ]; then
    echo "no $suite: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
TARVO_CONFORMANCE_WINE_EXE=$exe exec "$suite"
