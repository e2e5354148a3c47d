#!/bin/sh
# Runs a program of the native build that drives a Windows program under
# Wine (the conformance suite, the endurance host):
#   native-host.sh [--windows-program EXE] [--uart-peer NAME] NATIVE_PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) when the native build has not made the program yet, or
# when EXE cannot run on this machine (wine.sh --check says why), or, with
# --uart-peer, when no virtio port NAME carries a UART's wire (only inside
# tests/vm/vm.py --uart-peer).
set -eu
while [ $# -gt 0 ]; do
    case $1 in
        --windows-program) "$(dirname "$0")/wine.sh" --check "$2"; shift 2 ;;
        --uart-peer)
            if ! cat /sys/class/virtio-ports/*/name 2>/dev/null | grep -qx "$2"; then
                echo "SKIPPED: no UART with its far end here (virtio port $2): it runs inside tests/vm/vm.py --uart-peer"
                exit 77
            fi
            shift 2 ;;
        *) break ;;
    esac
done
if [ -z "${1:-}" ]; then
    echo "no host program configured: use the win32 or win64 preset, which names the native preset's"
    exit 77
fi
if [ ! -x "$1" ]; then
    echo "no $1: build the native preset first (cmake --preset native && cmake --build --preset native)"
    exit 77
fi
exec "$@"
