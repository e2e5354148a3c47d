#!/usr/bin/env bash
# One entry point for people and CI: installs what is missing, builds, runs.
#   ./dev.sh demo    the hardware-free demo on a pseudo-terminal
#   ./dev.sh test    every suite: native, sanitizers, then Tarvo.dll under Wine (32 and 64 bit)
#   ./dev.sh sanitize  the Linux suites under ASan+UBSan (build/asan) and TSan (build/tsan)
#   ./dev.sh bench   the benchmarks: libtarvo.so natively, Tarvo.dll under Wine
set -euo pipefail
cd "$(dirname "$0")"

NATIVE_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine32:i386 wine64 googletest)
TEST_PACKAGES=(strace valgrind)
SANITIZE_PACKAGES=(libasan8 libubsan1 libtsan2)
BENCH_PACKAGES=(libbenchmark-dev libboost-dev python3 python3-serial python3-matplotlib)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

ensure_packages() {
    local missing=() package
    for package in "$@"; do installed "$package" || missing+=("$package"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

jobs() { nproc 2>/dev/null || echo 2; }

build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$(jobs)"
}

test_preset() {
    build_preset "$1"
    ctest --preset "$1"
}

case "${1:-}" in
demo)
    ensure_packages "${NATIVE_PACKAGES[@]}"
    build_preset native
    ./build/native/tools/tarvo demo
    ;;
sanitize)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${SANITIZE_PACKAGES[@]}"
    test_preset asan
    test_preset tsan
    ;;
test)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SANITIZE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    test_preset native
    test_preset asan
    test_preset tsan
    test_preset win32
    test_preset win64
    ;;
bench)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    build_preset win32  # the Wine half of the bench drives build/win32's Tarvo.dll
    build_preset native
    cmake --build --preset native --target bench
    ;;
*)
    echo "usage: $0 demo|test|sanitize|bench" >&2
    exit 2
    ;;
esac
