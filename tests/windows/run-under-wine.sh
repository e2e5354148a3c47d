#!/bin/sh
# Runs a Windows program under Wine in a prefix of its own, creating the
# prefix on first use. Needs no X server and no terminal (CI, ctest).
#
#   run-under-wine.sh [--prefix DIR] [--store DIR] [--com N=DEVICE]... [--] PROGRAM [ARG]...
#   run-under-wine.sh --init [--prefix DIR] [--store DIR]
#
# --prefix  the WINEPREFIX; default $TARVO_WINEPREFIX, else "wineprefix" in the
#           CMake build tree that holds PROGRAM.
# --store   where the first prefix made is kept for the next ones, its DLL
#           copies linked to Wine's files (wine-prefix.sh); default
#           "wineprefix-store" in the CMake build tree that holds the prefix,
#           else beside the prefix.
# --com     maps COM N to DEVICE (e.g. 7=/dev/pts/3) in HKLM\Software\Wine\Ports.
#           Wine's mount manager reads that key when the prefix starts, so the
#           prefix's wineserver is restarted; callers mapping ports must not
#           share the prefix with other programs running at the same time.
# --init    only create the prefix (and wait until it is written out).
#
# The exit status is the program's; 77 (skipped) for a 32-bit program on a
# machine that runs no 32-bit programs.
set -eu
wine="$(dirname "$0")/wine.sh"
make_prefix="$(dirname "$0")/wine-prefix.sh"

# The CMake build tree that holds directory $1, or nothing.
build_tree() {
    dir=$(cd "$1" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ ! -f "$dir/CMakeCache.txt" ] || echo "$dir"
}

prefix=${TARVO_WINEPREFIX:-}
store=
init_only=no
coms=
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) prefix=$2; shift 2 ;;
        --store) store=$2; shift 2 ;;
        --com) coms="$coms $2"; shift 2 ;;
        --init) init_only=yes; shift ;;
        --) shift; break ;;
        -*) echo "run-under-wine.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done

[ $# -eq 0 ] || "$wine" --check "$1"

if [ -z "$prefix" ]; then
    [ $# -gt 0 ] || { echo "run-under-wine.sh: no --prefix and no program" >&2; exit 2; }
    dir=$(build_tree "$(dirname "$1")")
    [ -n "$dir" ] || { echo "run-under-wine.sh: $1 is in no build tree; use --prefix" >&2; exit 2; }
    prefix=$dir/wineprefix
fi
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
if [ -z "$store" ]; then
    dir=$(build_tree "$(dirname "$prefix")")
    store=${dir:-$(dirname "$prefix")}/wineprefix-store
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export DISPLAY=
unset WAYLAND_DISPLAY
# No "install Mono/Gecko" questions while the prefix is created.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mscoree,mshtml="

# One creator at a time; ctest may start several Wine tests at once.
(
    flock 9
    "$make_prefix" "$store" "$prefix"
) 9>"$prefix.lock"

if [ -n "$coms" ]; then
    for mapping in $coms; do
        "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM${mapping%%=*}" /d "${mapping#*=}" /f </dev/null >/dev/null 2>&1
    done
    wineserver -k 2>/dev/null || true
    wineserver -w
fi

[ "$init_only" = yes ] && exit 0
[ $# -gt 0 ] || { echo "run-under-wine.sh: no program" >&2; exit 2; }
exec "$wine" "$@"
