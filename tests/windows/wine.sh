#!/bin/sh
# `wine` for the tests, with the loader this machine can run.
#
#   wine.sh PROGRAM [ARG]...   runs PROGRAM (a .exe path or a Wine builtin
#                              such as wineboot or reg) under Wine
#   wine.sh --check PROGRAM    exits 0 if PROGRAM can run here, else says why
#                              and exits 77 (a skipped test)
#
# Debian's wine wrapper starts the 32-bit loader whenever wine32 is installed,
# and that loader hands 64-bit programs on to the 64-bit one. Some kernels run
# no 32-bit programs at all (no IA-32 user space, as on some virtual
# machines): there the wrapper fails for every program, so 64-bit programs and
# the builtins go to the 64-bit loader directly, and 32-bit programs cannot
# run at all.
set -eu

WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64

runs_32_bit() { [ -x "$WINE32" ] && "$WINE32" --version >/dev/null 2>&1; }

# The PE machine field: 014c for i386, 8664 for x86-64; empty for no PE file.
pe_machine() {
    [ -f "$1" ] || return 0
    offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] || return 0
    od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

cannot_run() {
    [ "$(pe_machine "$1")" = 014c ] && ! runs_32_bit
}

if [ "${1:-}" = --check ]; then
    if cannot_run "$2"; then
        echo "SKIPPED: $2 is a 32-bit Windows program and this machine runs no 32-bit programs" \
             "(its kernel refuses i386 executables: $WINE32 --version fails)"
        exit 77
    fi
    exit 0
fi

[ $# -gt 0 ] || { echo "wine.sh: no program" >&2; exit 2; }
if runs_32_bit || ! command -v "$WINE64" >/dev/null 2>&1; then
    exec wine "$@"
fi
if cannot_run "$1"; then
    "$0" --check "$1"
fi
export WINELOADER="$WINE64"
exec "$WINE64" "$@"
