#!/usr/bin/env bash
# Checks an installed Tarvo tree as its users meet it:
#   check_prefix.sh PREFIX SOURCE_DIR WORK_DIR LIBDIR VERSION [ROOT]
# the files and soname links are there, the tool runs, the C example builds
# against the tree through find_package(Tarvo) and through pkg-config, and it
# and the Python example complete an exchange with a simulated instrument,
# also from a venv the module was installed into with pip.
# ROOT: the tree is a /usr unpacked below ROOT (PREFIX is ROOT/usr), as the
# Debian packages install it: no RUNPATH, tarvo.pc says prefix=/usr, and the
# checks reach it through LD_LIBRARY_PATH and pkg-config's sysroot.
# PREFIX /usr without ROOT: the system's own tree.
set -euo pipefail
prefix=$1 source=$2 work=$3 lib=$4 version=$5 root=${6:-}
peer=(/usr/bin/python3 "$source/tests/ecosystem/instrument_peer.py")
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work"
major=${version%%.*}
python_dir=$prefix/lib/python3/dist-packages

for file in include/tarvo.h include/tarvo_ext.h "$lib/libtarvo.so.$version" $lib/cmake/Tarvo/TarvoConfig.cmake \
            $lib/cmake/Tarvo/TarvoConfigVersion.cmake $lib/cmake/Tarvo/TarvoTargets.cmake \
            $lib/pkgconfig/tarvo.pc bin/tarvo lib/python3/dist-packages/tarvo/__init__.py; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ -f "$prefix/share/man/man1/tarvo.1" ] || [ -f "$prefix/share/man/man1/tarvo.1.gz" ] || fail "no man page tarvo.1"
[ "$(readlink "$prefix/$lib/libtarvo.so")" = "libtarvo.so.$major" ] || fail "libtarvo.so does not link to libtarvo.so.$major"
[ "$(readlink "$prefix/$lib/libtarvo.so.$major")" = "libtarvo.so.$version" ] ||
    fail "libtarvo.so.$major does not link to libtarvo.so.$version"
soname=$(objdump -p "$prefix/$lib/libtarvo.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libtarvo.so.$major" ] || fail "SONAME is '$soname'"

runpath=$(objdump -p "$prefix/bin/tarvo" | awk '$1 == "RUNPATH" || $1 == "RPATH" {print $2}')
if [ -n "$root" ] || [ "$prefix" = /usr ]; then
    # Where Debian puts it, the system's library path finds the library.
    [ -z "$runpath" ] || fail "bin/tarvo has RUNPATH $runpath under /usr"
    pc_prefix=/usr
    [ -z "$root" ] || export LD_LIBRARY_PATH="$prefix/$lib" PKG_CONFIG_SYSROOT_DIR="$root"
else
    # Elsewhere, the tool finds the library of its own tree; Python gets it
    # from the library path.
    [ "$runpath" = "\$ORIGIN/../$lib" ] || fail "bin/tarvo has RUNPATH '$runpath', expected \$ORIGIN/../$lib"
    pc_prefix=$prefix
    ldd_lib=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/tarvo" | awk '$1 == "libtarvo.so.'"$major"'" {print $3}')
    [ "$ldd_lib" -ef "$prefix/$lib/libtarvo.so.$major" ] || fail "bin/tarvo does not load $lib/libtarvo.so.$major of its tree"
    export LD_LIBRARY_PATH="$prefix/$lib"
fi
[ "$("$prefix/bin/tarvo" --version)" = "tarvo $version" ] || fail "tarvo --version says '$("$prefix/bin/tarvo" --version)'"

echo "== find_package(Tarvo)"
cmake -S "$source/examples/c" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
"${peer[@]}" "$work/cmake/exchange"

echo "== find_package(Tarvo $((major + 1))) is refused"
mkdir -p "$work/major"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(p NONE)\nfind_package(Tarvo %s REQUIRED)\n' $((major + 1)) \
    >"$work/major/CMakeLists.txt"
if cmake -S "$work/major" -B "$work/major/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
    fail "find_package(Tarvo $((major + 1))) accepted version $version"
fi

echo "== pkg-config tarvo"
grep -qx "prefix=$pc_prefix" "$prefix/$lib/pkgconfig/tarvo.pc" || fail "tarvo.pc does not say prefix=$pc_prefix"
export PKG_CONFIG_PATH="$prefix/$lib/pkgconfig"
[ "$(pkg-config --modversion tarvo)" = "$version" ] || fail "pkg-config --modversion tarvo"
libdir=$(pkg-config --variable=libdir tarvo)
[ "$libdir" -ef "$prefix/$lib" ] || fail "tarvo.pc libdir $libdir is not $prefix/$lib"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/exchange-pc" "$source/examples/c/exchange.c" \
    $(pkg-config --cflags --libs tarvo)
"${peer[@]}" "$work/exchange-pc"

echo "== Python module"
[ "$prefix" = /usr ] && [ -z "$root" ] || export PYTHONPATH="$python_dir"
export PYTHONDONTWRITEBYTECODE=1
# The module's own suite runs on the build tree (python_module); here the
# question is whether the installed module finds the installed library.
"${peer[@]}" /usr/bin/python3 "$source/examples/python/exchange.py"

echo "== pip install ./python in a virtual environment, offline"
# A copy: pip builds in the folder it is given. Debian's pytest comes in
# through the system's site packages; the module must come from the venv and
# find this tree's libtarvo.so.1 by its name, as an installed one.
cp -r "$source/python" "$work/python"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/python"
venv_module=$(cd "$work" && env -u PYTHONPATH "$work/venv/bin/python" -c 'import os, tarvo; print(os.path.dirname(tarvo.__file__))')
[[ $venv_module == "$work/venv/"* ]] || fail "the venv imports tarvo from $venv_module"
[ ! -e "$venv_module/libtarvo.so.1" ] || fail "the venv's module carries a library of its own"
(cd "$work" && env -u PYTHONPATH "${peer[@]}" "$work/venv/bin/python" "$source/examples/python/exchange.py")
echo "PASS: $prefix"
