#!/usr/bin/env bash
# Makes the Debian packages of a built Linux tree, split as Debian splits a
# library, with dpkg's own tools (what debhelper would do, step by step):
#   build-debs.sh SOURCE_DIR BUILD_DIR OUT_DIR
# Each package is one install component of the tree, installed into
# debian/<package>/ under BUILD_DIR/packaging/stage with prefix /usr; then
# stripped, man pages gzipped, copyright and changelog added, dependencies
# computed by dpkg-shlibdeps, the control file written by dpkg-gencontrol.
# CMake wrote debian/control, debian/changelog and debian/copyright into
# BUILD_DIR/packaging/debian.
set -euo pipefail
source=$(realpath "$1") build=$(realpath "$2") out=$3
mkdir -p "$out" && out=$(realpath "$out")
stage=$build/packaging/stage
fail() { echo "build-debs.sh: $*" >&2; exit 1; }

# package:install component
packages=(libtarvo1:Runtime libtarvo-dev:Development tarvo:Tool python3-tarvo:Python)

umask 022
rm -rf "$stage" && mkdir -p "$stage/debian"
cp "$build/packaging/debian/control" "$build/packaging/debian/changelog" "$stage/debian/"
cd "$stage"
version=$(dpkg-parsechangelog -SVersion)
# File times in the packages: the changelog entry's date.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -STimestamp)
export SOURCE_DATE_EPOCH
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch

for entry in "${packages[@]}"; do
    DESTDIR="$stage/debian/${entry%%:*}" cmake --install "$build" --prefix /usr --component "${entry#*:}" >/dev/null
done
[ -f "debian/libtarvo1/$libdir/libtarvo.so.$version" ] ||
    fail "no $libdir/libtarvo.so.$version: configure $build afresh (its CMAKE_INSTALL_LIBDIR is not lib/$multiarch)"

elf_files() { find "debian/$1" -type f -exec sh -c 'head -c 4 "$1" | grep -q "^.ELF"' _ {} \; -print | sort; }

for entry in "${packages[@]}"; do
    package=${entry%%:*} root=debian/${entry%%:*}
    # As dh_strip: no debugging symbols, no compiler notes.
    for file in $(elf_files "$package"); do
        case $file in
            *.so|*.so.*) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file" ;;
            *) strip --remove-section=.comment --remove-section=.note "$file" ;;
        esac
    done
    if [ -d "$root/usr/share/man" ]; then
        find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
    fi
    docs=$root/usr/share/doc/$package
    mkdir -p "$docs"
    cp "$build/packaging/debian/copyright" "$docs/copyright"
    gzip -9nc debian/changelog >"$docs/changelog.gz"
    # As dh_fixperms: shared libraries are not executable, programs are.
    find "$root" -type d -exec chmod 0755 {} +
    find "$root" -type f -exec chmod 0644 {} +
    [ -d "$root/usr/bin" ] && find "$root/usr/bin" -type f -exec chmod 0755 {} +
done
# The reference goes with the headers, and with the tool, whose man page
# points at it there.
cp "$source/docs/api.md" "debian/libtarvo-dev/usr/share/doc/libtarvo-dev/"
cp "$source/docs/api.md" "debian/tarvo/usr/share/doc/tarvo/"

# The library's package: what a dependency on libtarvo.so.1 means, and
# ld.so's cache refreshed whenever it comes or goes.
mkdir -p debian/libtarvo1/DEBIAN
soname=$(objdump -p "debian/libtarvo1/$libdir/libtarvo.so.$version" | awk '$1 == "SONAME" {print $2}')
[[ $soname =~ ^(lib.+)\.so\.([0-9]+)$ ]] || fail "unexpected SONAME '$soname'"
echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]} libtarvo1 (>= $version)" >debian/libtarvo1/DEBIAN/shlibs
echo "activate-noawait ldconfig" >debian/libtarvo1/DEBIAN/triggers

# Maintainer scripts: packaging/debian/<package>.<script>.
for script in "$source"/packaging/debian/*.prerm; do
    package=$(basename "$script" .prerm)
    mkdir -p "debian/$package/DEBIAN"
    install -m 0755 "$script" "debian/$package/DEBIAN/prerm"
done

rm -f debian/files "$out"/*.deb
for entry in "${packages[@]}"; do
    package=${entry%%:*} root=debian/${entry%%:*}
    mkdir -p "$root/DEBIAN"
    : >"debian/$package.substvars"
    mapfile -t binaries < <(elf_files "$package")
    if [ ${#binaries[@]} -gt 0 ]; then
        dpkg-shlibdeps -T"debian/$package.substvars" -l"debian/libtarvo1/$libdir" "${binaries[@]}"
    fi
    dpkg-gencontrol -p"$package" -T"debian/$package.substvars" -P"$root"
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0r md5sum) \
        >"$root/DEBIAN/md5sums"
    find "$root/DEBIAN" -type f ! -name prerm -exec chmod 0644 {} +
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
done
ls "$out"/*.deb
