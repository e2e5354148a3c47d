#!/usr/bin/env bash
# Checks an installed Tarvo tree as its users meet it:
#   check_prefix.sh PREFIX SOURCE_DIR WORK_DIR [LIBDIR]   (LIBDIR: lib)
# the files and soname links are there, the tool runs, and the C example builds
# against the tree through find_package(Tarvo) and through pkg-config, and it
# and the Python example complete an exchange with a simulated instrument.
set -euo pipefail
prefix=$1 source=$2 work=$3 lib=${4:-lib}
peer=(/usr/bin/python3 "$source/tests/ecosystem/instrument_peer.py")
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work"

for file in include/tarvo.h $lib/libtarvo.so.1.1.0 $lib/cmake/Tarvo/TarvoConfig.cmake \
            $lib/cmake/Tarvo/TarvoConfigVersion.cmake $lib/cmake/Tarvo/TarvoTargets.cmake \
            $lib/pkgconfig/tarvo.pc bin/tarvo share/man/man1/tarvo.1 share/doc/tarvo/api.md \
            share/doc/tarvo/README.md; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ "$(readlink "$prefix/$lib/libtarvo.so")" = libtarvo.so.1 ] || fail "libtarvo.so does not link to libtarvo.so.1"
[ "$(readlink "$prefix/$lib/libtarvo.so.1")" = libtarvo.so.1.1.0 ] || fail "libtarvo.so.1 does not link to libtarvo.so.1.1.0"
soname=$(objdump -p "$prefix/$lib/libtarvo.so.1.1.0" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libtarvo.so.1 ] || fail "SONAME is '$soname'"

# The tool finds the library of its own tree.
version=$(env -u LD_LIBRARY_PATH "$prefix/bin/tarvo" --version)
[ "$version" = "tarvo 1.1.0" ] || fail "tarvo --version says '$version'"
[ "$(ldd "$prefix/bin/tarvo" | awk '$1 == "libtarvo.so.1" {print $3}')" -ef "$prefix/$lib/libtarvo.so.1" ] ||
    fail "bin/tarvo does not load lib/libtarvo.so.1 of its tree"

echo "== find_package(Tarvo)"
cmake -S "$source/examples/c" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
"${peer[@]}" "$work/cmake/exchange"

echo "== find_package(Tarvo 2) is refused"
mkdir -p "$work/major"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(p NONE)\nfind_package(Tarvo 2 REQUIRED)\n' >"$work/major/CMakeLists.txt"
if cmake -S "$work/major" -B "$work/major/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
    fail "find_package(Tarvo 2) accepted version 1.1.0"
fi

echo "== pkg-config tarvo"
export PKG_CONFIG_PATH="$prefix/$lib/pkgconfig"
[ "$(pkg-config --modversion tarvo)" = 1.1.0 ] || fail "pkg-config --modversion tarvo"
libdir=$(pkg-config --variable=libdir tarvo)
[ "$libdir" -ef "$prefix/$lib" ] || fail "tarvo.pc libdir $libdir is not $prefix/$lib"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/exchange-pc" "$source/examples/c/exchange.c" \
    $(pkg-config --cflags --libs tarvo) -Wl,-rpath,"$libdir"
"${peer[@]}" "$work/exchange-pc"

echo "== Python ctypes"
"${peer[@]}" env TARVO_LIBRARY="$prefix/$lib/libtarvo.so.1" /usr/bin/python3 "$source/examples/python/exchange.py"
echo "PASS: $prefix"
