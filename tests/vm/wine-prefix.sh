#!/bin/sh
# Inside the virtual machine (vm.py): makes the Wine prefix PREFIX, from the
# copy kept in STORE (a directory the machine may write) when that copy was
# made by this Wine, else with wineboot, keeping a copy for the next boot.
#
#   wine-prefix.sh STORE PREFIX
#
# Under emulation wineboot takes minutes, most of them copying Wine's DLLs
# into the prefix (1.3 GB, more than half the machine's memory). Those
# copies are byte for byte Wine's own files, so they become links to them:
# the prefix shrinks to a few MB and unpacks in seconds.
set -eu
store=$1
prefix=$2
here=$(dirname "$0")
[ ! -f "$prefix/system.reg" ] || exit 0
started=$(date +%s)
wine_id=$(stat -c '%n %s %Y' /usr/share/wine/wine.inf /usr/lib/wine/wine /usr/lib/wine/wine64 2>/dev/null | tr '\n' ' ')
mkdir -p "$store" "$prefix"
if [ -f "$store/wineprefix.tar" ] && [ "$(cat "$store/wineprefix.id" 2>/dev/null)" = "$wine_id" ]; then
    tar -xf "$store/wineprefix.tar" -C "$prefix"
    echo "wine-prefix: $prefix unpacked from $store in $(($(date +%s) - started)) s"
    exit 0
fi
echo "wine-prefix: making $prefix with wineboot"
status=0
"$here/../windows/run-under-wine.sh" --init --prefix "$prefix" || status=$?
# Under emulation wineboot may end with status 53 although the prefix it
# wrote works; a prefix it did not write ends the run.
if [ ! -f "$prefix/system.reg" ]; then
    echo "wine-prefix: wineboot wrote no prefix (status $status)"
    exit 1
fi
made=$(date +%s)
echo "wine-prefix: wineboot took $((made - started)) s (status $status); linking its DLL copies"
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
echo "wine-prefix: wineboot $((made - started)) s (status $status), DLL copies linked and kept in $store" \
     "($(du -sh "$store/wineprefix.tar" | cut -f1)) after $(($(date +%s) - started)) s"
