#!/bin/sh
# Makes the Wine prefix PREFIX from the copy kept in STORE when this Wine made
# that copy, else with wineboot, keeping a copy in STORE for the next prefix.
# Called by run-under-wine.sh, which sets WINEPREFIX and Wine's quiet settings.
#
#   wine-prefix.sh STORE PREFIX
#
# wineboot copies Wine's DLLs into every prefix: 1.3 GB, byte for byte Wine's
# own files, and minutes of work under emulation. Those copies become links
# to Wine's files, so a prefix takes some 30 MB, and every further prefix of
# the same Wine unpacks from STORE in a second instead of running wineboot.
set -eu
store=$1
prefix=$2
here=$(dirname "$0")
[ ! -f "$prefix/system.reg" ] || exit 0
mkdir -p "$store" "$prefix"
store=$(cd "$store" && pwd)
started=$(date +%s)
wine_id=$(stat -c '%n %s %Y' /usr/share/wine/wine.inf /usr/lib/wine/wine /usr/lib/wine/wine64 2>/dev/null | tr '\n' ' ')
say() { echo "wine-prefix: $*" >&2; }

# One maker a store: ctest may start several Wine tests at once.
exec 8>"$store/lock"
flock 8
if [ -f "$store/wineprefix.tar" ] && [ "$(cat "$store/wineprefix.id" 2>/dev/null)" = "$wine_id" ]; then
    tar -xf "$store/wineprefix.tar" -C "$prefix"
    say "$prefix unpacked from $store in $(($(date +%s) - started)) s"
    exit 0
fi
say "making $prefix with wineboot"
status=0
"$here/wine.sh" wineboot -i </dev/null >/dev/null 2>&1 || status=$?
wineserver -w || true
# Under emulation wineboot may end with status 53 although the prefix it
# wrote works; a prefix it did not write ends the run.
if [ ! -f "$prefix/system.reg" ]; then
    say "wineboot wrote no prefix (status $status)"
    exit 1
fi
made=$(date +%s)
# One process for all: under emulation a process per file takes minutes.
python3 - "$prefix/drive_c/windows" <<'PY'
import filecmp, os, sys
libs = ["/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/lib/i386-linux-gnu/wine/i386-windows"]
for top, _, names in os.walk(sys.argv[1]):
    for name in names:
        path = os.path.join(top, name)
        for lib in libs:
            own = os.path.join(lib, name)
            if not os.path.islink(path) and os.path.isfile(own) and filecmp.cmp(path, own, shallow=False):
                os.remove(path)
                os.symlink(own, path)
                break
PY
tar -cf "$store/wineprefix.tar.part" -C "$prefix" .
mv "$store/wineprefix.tar.part" "$store/wineprefix.tar"
echo "$wine_id" > "$store/wineprefix.id"
say "wineboot $((made - started)) s (status $status), DLL copies linked, prefix $(du -sh "$prefix" | cut -f1)," \
    "kept in $store after $(($(date +%s) - started)) s"
