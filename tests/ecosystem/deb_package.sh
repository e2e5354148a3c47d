#!/usr/bin/env bash
# Builds the Debian packages of this build tree and checks them without
# installing them: lintian (no error, no warning), names, fields and
# dependencies, which package holds which file, then the four unpacked with
# dpkg -x into one tree that goes through check_prefix.sh.
#   deb_package.sh BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR VERSION
set -euo pipefail
build=$1 source=$2 work=$3 lib=$4 version=$5
fail() { echo "FAIL: $*" >&2; exit 1; }
arch=$(dpkg --print-architecture) major=${version%%.*}

rm -rf "$work" && mkdir -p "$work"
cmake --build "$build" --target package >/dev/null
declare -A deb=(
    [libtarvo1]=libtarvo1_${version}_$arch.deb
    [libtarvo-dev]=libtarvo-dev_${version}_$arch.deb
    [tarvo]=tarvo_${version}_$arch.deb
    [python3-tarvo]=python3-tarvo_${version}_all.deb
)
made=$(cd "$build/packages" && ls -- *.deb | sort)
expected=$(printf '%s\n' "${deb[@]}" | sort)
[ "$made" = "$expected" ] || fail "packages made:"$'\n'"$made"$'\n'"expected:"$'\n'"$expected"
cd "$build/packages"

echo "== lintian"
lintian --fail-on error,warning --display-info "${deb[@]}" || fail "lintian reports errors or warnings"

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
maintainer=$(field tarvo Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: '$maintainer'"
for package in "${!deb[@]}"; do
    [ "$(field "$package" Package)" = "$package" ] || fail "${deb[$package]}: Package: $(field "$package" Package)"
    [ "$(field "$package" Version)" = "$version" ] || fail "$package: Version: $(field "$package" Version)"
    [ "$(field "$package" Maintainer)" = "$maintainer" ] || fail "$package: Maintainer differs"
done
depends() {
    local package=$1; shift
    for dependency in "$@"; do
        field "$package" Depends | tr ',' '\n' | sed 's/^ *//' | grep -qxF "$dependency" ||
            fail "$package: Depends lacks '$dependency': $(field "$package" Depends)"
    done
}
depends tarvo "libtarvo1 (>= $version)"
depends libtarvo-dev "libtarvo1 (= $version)"
depends python3-tarvo python3:any "libtarvo1 (>= $version)"
field libtarvo1 Depends | grep -q '\blibc6\b' || fail "libtarvo1: Depends lacks libc6"
[ "$(dpkg-deb --ctrl-tarfile "${deb[libtarvo1]}" | tar -xO ./shlibs)" = "libtarvo $major libtarvo1 (>= $version)" ] ||
    fail "libtarvo1: shlibs"

# Who holds what: each file in exactly the package Debian would put it in.
for package in "${!deb[@]}"; do
    dpkg-deb -c "${deb[$package]}" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' | sed 's|^\./||' \
        >"$work/$package.files"
done
holds() {
    local package=$1; shift
    for file in "$@"; do grep -qxF "$file" "$work/$package.files" || fail "$package lacks $file"; done
}
for package in "${!deb[@]}"; do holds "$package" "usr/share/doc/$package/copyright" "usr/share/doc/$package/changelog.gz"; done
holds libtarvo1 "usr/$lib/libtarvo.so.$version" "usr/$lib/libtarvo.so.$major -> libtarvo.so.$version"
holds libtarvo-dev usr/include/tarvo.h usr/include/tarvo_ext.h "usr/$lib/libtarvo.so -> libtarvo.so.$major" "usr/$lib/pkgconfig/tarvo.pc" \
    "usr/$lib/cmake/Tarvo/TarvoConfig.cmake" "usr/$lib/cmake/Tarvo/TarvoTargets.cmake"
holds tarvo usr/bin/tarvo usr/share/man/man1/tarvo.1.gz
# The reference where the man page's SEE ALSO sends the tool's users.
reference=$(sed -n '/^\.SH SEE ALSO/,$p' "$source/docs/tarvo.1" | grep -o '/usr/share/doc/[a-z0-9-]*/' | head -1)
[ -n "$reference" ] || fail "the man page's SEE ALSO names no folder of /usr/share/doc"
holds tarvo "${reference#/}api.md"
holds libtarvo-dev usr/share/doc/libtarvo-dev/api.md
holds python3-tarvo usr/lib/python3/dist-packages/tarvo/__init__.py usr/lib/python3/dist-packages/tarvo/_version.py \
    usr/lib/python3/dist-packages/tarvo/_contract.py
shared=$(cat "$work"/*.files | grep -v '/$' | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"
if grep -E 'gtest|gmock|_test|googletest|/build/|__pycache__' "$work"/*.files; then fail "build or test files in a package"; fi
[ "$(dpkg-deb --ctrl-tarfile "${deb[libtarvo1]}" | tar -xO ./triggers)" = "activate-noawait ldconfig" ] ||
    fail "libtarvo1 does not trigger ldconfig"

mkdir -p "$work/root"
for file in "${deb[@]}"; do dpkg -x "$file" "$work/root"; done
"$source/tests/ecosystem/check_prefix.sh" "$work/root/usr" "$source" "$work/check" "$lib" "$version" "$work/root"
