#!/usr/bin/env bash
# Builds the .deb of this build tree and checks it without installing it:
# name, version and computed dependencies, the file list, then the tree
# unpacked with dpkg -x goes through check_prefix.sh.
#   deb_package.sh BUILD_DIR SOURCE_DIR WORK_DIR [LIBDIR]
set -euo pipefail
build=$1 source=$2 work=$3 lib=${4:-lib}
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" "$build"/packages/tarvo_*.deb && mkdir -p "$work"
cmake --build "$build" --target package >/dev/null
debs=("$build"/packages/tarvo_1.1.0_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single tarvo_1.1.0_*.deb in $build/packages"
deb=${debs[0]}
echo "== $deb"

dpkg-deb -I "$deb" | tee "$work/info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarvo ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.1.0 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
for dependency in libc6 libstdc++6; do
    field Depends | grep -q "\b$dependency\b" || fail "Depends lacks $dependency: $(field Depends)"
done

dpkg-deb -c "$deb" | tee "$work/contents"
for file in usr/include/tarvo.h "usr/$lib/libtarvo.so.1.1.0" "usr/$lib/libtarvo.so.1 -> libtarvo.so.1.1.0" \
            "usr/$lib/libtarvo.so -> libtarvo.so.1" "usr/$lib/pkgconfig/tarvo.pc" \
            "usr/$lib/cmake/Tarvo/TarvoConfig.cmake" usr/bin/tarvo usr/share/man/man1/tarvo.1; do
    grep -qF "./$file" "$work/contents" || fail "the package lacks $file"
done
# Nothing of the build or test trees.
if grep -E 'gtest|gmock|_test|googletest|/build/' "$work/contents"; then fail "test files in the package"; fi

dpkg -x "$deb" "$work/root"
"$source/tests/ecosystem/check_prefix.sh" "$work/root/usr" "$source" "$work/check" "$lib"
