#!/bin/sh
# Runs tarvo_endurance.exe under Wine, answered by the native build's host:
#   endurance-under-wine.sh HOST RUNNER PREFIX PROGRAM CYCLES COM
# Exits 77 (skipped) when the native build has not made the host yet.
set -eu
host=$1
shift
if [ ! -x "$host" ]; then
    echo "no $host: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
exec "$host" "$@"
