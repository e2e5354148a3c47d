#!/usr/bin/env bash
# One entry point for people and CI: installs what is missing, builds, runs.
#   ./dev.sh demo    the hardware-free demo on a pseudo-terminal
#   ./dev.sh test    every suite: native, the API fuzzer, sanitizers, then Tarvo.dll under Wine (32 and 64 bit)
#   ./dev.sh fuzz [RUNS [libFuzzer flags]]   the API fuzzer alone, RUNS executions (200000)
#   ./dev.sh sanitize  the Linux suites under ASan+UBSan (build/asan) and TSan (build/tsan)
#   ./dev.sh bench   the benchmarks: libtarvo.so natively, Tarvo.dll under Wine
#   ./dev.sh package the Debian packages and the Windows ZIPs, 32 and 64 bit (build/*/packages/)
set -euo pipefail
cd "$(dirname "$0")"

NATIVE_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev pkg-config libc-ares-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine32:i386 wine64 googletest)
# tmux: the terminal's tests type into it and read its screen. ser2net: the
# network ports' tests serve ptys with it. iproute2: those run in a network
# namespace of their own (tests/net/isolated.sh). stress-ng: the CPU hog of
# tests/load/soak.sh. qemu, a kernel and busybox: the virtual machine with real
# serial drivers (tests/vm). sredird: the second real COM-PORT server.
# librsvg2-bin: the trace view's SVG rendered to PNG.
TEST_PACKAGES=(strace valgrind tmux ser2net iproute2 stress-ng qemu-system-x86 linux-image-amd64 busybox-static sredird
               librsvg2-bin)
SANITIZE_PACKAGES=(libasan8 libubsan1 libtsan2)
# Install and package checks: building and checking the .debs, tarvo.pc, the Python
# module and its tests, the man page.
ECOSYSTEM_PACKAGES=(dpkg-dev lintian pkg-config python3 python3-pytest python3-hypothesis python3-venv python3-setuptools python3-wheel groff-base man-db)
FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm)
BENCH_PACKAGES=(libbenchmark-dev libboost-dev python3 python3-serial python3-matplotlib)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

# The package lists are refreshed once a run, before the first install. A
# mirror in the middle of a sync serves an index that does not match its
# Release file, and apt-get update then fails while keeping the lists it had;
# that has lasted hours. So it is tried three times, and then the install
# goes on with the lists apt has. A suite whose index failed for one
# architecture (seen: bookworm-security for i386) offers newer versions for
# the other, and a library installed for both must have one version in both:
# if the install fails, it is tried again with such suites used only for
# what no other suite has.
lists_refreshed=no
STALE_SUITES=()
refresh_package_lists() {
    local attempt
    for attempt in 1 2 3; do
        as_root apt-get update -qq -o Acquire::Retries=3 && return 0
        [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
    done
    return 1
}

# apt's "Failed to fetch http://HOST/PATH/dists/SUITE/..." lines in log $1: the SUITEs.
failed_suites() {
    grep -o 'Failed to fetch [^ ]*/dists/[^/ ]*/' "$1" | sed 's|.*/dists/||; s|/$||' | sort -u
}

# apt preferences that rank each stale suite below every other source.
stale_suites_pinned_low() {
    local suite
    for suite in "${STALE_SUITES[@]}"; do
        printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
    done
}

ensure_packages() {
    local missing=() package
    for package in "$@"; do installed "$package" || missing+=("$package"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        lists_refreshed=no
    fi
    # apt's progress lines would bury the suites' output: kept in a log,
    # shown only when apt fails.
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/tarvo-apt.XXXXXX")
    if [ "$lists_refreshed" = no ]; then
        if ! refresh_package_lists >"$log" 2>&1; then
            grep '^E:' "$log" | sort -u >&2 || true
            mapfile -t STALE_SUITES < <(failed_suites "$log")
            echo "warning: apt-get update failed three times (above); installing from the package lists apt has" >&2
        fi
        lists_refreshed=yes
    fi
    if ! apt_install "$log" "${missing[@]}" && ! install_past_stale_suites "$log" "${missing[@]}"; then
        cat "$log" >&2
        echo "apt-get failed; its output is above and in $log" >&2
        return 1
    fi
    echo "Installed ${#missing[@]} package(s) (apt's output: $log)"
}

# apt_install LOG [APT OPTION...] PACKAGE...: apt's output appended to LOG.
apt_install() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Dpkg::Use-Pty=0 -o Acquire::Retries=3 \
        "${@:2}" >>"$1" 2>&1
}

# install_past_stale_suites LOG PACKAGE...: the install again, the stale suites
# ranked below every other source; fails where no suite was stale.
install_past_stale_suites() {
    [ ${#STALE_SUITES[@]} -gt 0 ] || return 1
    echo "Installing again with ${STALE_SUITES[*]} used only for what no other suite has (its lists are stale)"
    stale_suites_pinned_low >"$1.preferences"
    apt_install "$1" -o Dir::Etc::Preferences="$1.preferences" "${@:2}"
}

jobs() { nproc 2>/dev/null || echo 2; }

# build_preset PRESET [TARGET...]: everything, or only the targets named.
build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$(jobs)" ${2:+--target "${@:2}"}
}

# Each test run leaves its results in build/PRESET/ctest-results.xml (JUnit)
# for skipped_summary. The Linux suites run side by side (-j); a machine
# under TCG asks for both processors (PROCESSORS 2) and so runs alone.
test_preset() {
    build_preset "$1"
    run_tests "$1"
}

run_tests() {
    ctest --preset "$1" -j "$(jobs)" --output-junit ctest-results.xml
}

# The trees after the first build one after another in a session of their
# own, while the suites of the trees before them run: those mostly wait on
# devices, servers and timeouts. Where the kernel shares the processors
# between sessions first (autogroups), the builds get at most half of them
# while the suites want the rest; nice 19 orders them behind anything else
# of their own session. Giving the whole session nice 19 made the suites
# wait for their builds (100 s in all) and the run a minute longer. Each
# build's output goes to build/PRESET.log, shown if it fails.
BACKGROUND_BUILDS=
build_in_background() {
    BACKGROUND_BUILDS=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-builds.XXXXXX")
    # A session of its own, so that stopping it stops its compilers too.
    setsid nice -n 19 ./dev.sh build-each "$BACKGROUND_BUILDS" "$@" </dev/null &
    BACKGROUND_PID=$!
}

# await_build PRESET: returns once the background build of PRESET is done,
# failing with its output if it failed.
await_build() {
    local started=$SECONDS
    until [ -e "$BACKGROUND_BUILDS/$1.built" ]; do
        if [ -e "$BACKGROUND_BUILDS/$1.failed" ] || ! kill -0 "$BACKGROUND_PID" 2>/dev/null; then
            [ -e "$BACKGROUND_BUILDS/$1.built" ] && break
            cat "build/$1.log" >&2
            echo "The $1 build failed; its output is above and in build/$1.log" >&2
            return 1
        fi
        sleep 1
    done
    echo "$1: built in the background$([ $((SECONDS - started)) -eq 0 ] || echo ", waited $((SECONDS - started)) s for it")"
}

stop_background_builds() {
    [ -z "${BACKGROUND_PID:-}" ] || kill -- -"$BACKGROUND_PID" 2>/dev/null || true
    [ -z "$BACKGROUND_BUILDS" ] || rm -rf "$BACKGROUND_BUILDS"
}

# The Windows suites. The win32 ones run 32-bit programs: where this
# machine's kernel runs none, they run inside the virtual machine of tests/vm
# (a Debian kernel with IA-32 programs), on this tree and with this build;
# TARVO_WIN32_IN_VM=force runs them there also where this machine could run
# them itself. Nothing runs beside the machine: under TCG its two processors
# stall each other whenever the host takes one away (its suites took 668 s
# with the win64 suites beside it, 414 s alone). So the win64 suites run
# first, while the win32 tree, built last, finishes beside them.
test_windows() {
    local status=0
    await_build win64
    run_tests win64 || status=$?
    await_build win32
    if [ "${TARVO_WIN32_IN_VM:-}" != force ] && tests/windows/wine.sh --check build/win32/Tarvo.dll >/dev/null; then
        ctest --preset win32 --output-junit ctest-results.xml || status=$?
        return "$status"
    fi
    local why="this machine runs no 32-bit programs"
    [ "${TARVO_WIN32_IN_VM:-}" != force ] || why="TARVO_WIN32_IN_VM=force"
    echo "The win32 suites that run Windows programs run inside the virtual machine (tests/vm): $why."
    rm -f build/win32/ctest-results.xml build/win32/ctest-results-vm.xml build/win32/vm/ctest-results.xml
    mkdir -p build/win32/vm
    local in_vm=0 started
    # What runs no Windows program runs here, before the machine starts.
    ctest --preset win32 -LE wine --output-junit ctest-results.xml || status=$?
    started=$SECONDS
    # 4 GB: wineboot writes 1.3 GB of DLL copies into the machine's memory before they become links.
    # The UART's far end is the machine's virtio port, where conformance_wine_uart plays the instrument.
    tests/vm/vm.py --cache build/native/tests/vm --memory 4096 --writable build/win32/vm --timeout 3000 --uart-peer -- \
        tests/vm/win32-suites.sh build/win32/vm || in_vm=$?
    echo "win32 suites in the virtual machine: $((SECONDS - started)) s"
    [ ! -f build/win32/vm/ctest-results.xml ] || cp build/win32/vm/ctest-results.xml build/win32/ctest-results-vm.xml
    if [ "$in_vm" -eq 77 ]; then
        echo "win32: every suite that runs a Windows program skipped: the virtual machine cannot start here" \
            > build/win32/vm-skipped.txt
        in_vm=0
    else
        rm -f build/win32/vm-skipped.txt
    fi
    [ "$status" -ne 0 ] || status=$in_vm
    return "$status"
}

# Says loudly which suites of this run were skipped, and why: a skipped suite
# tested nothing.
skipped_summary() {
    local status=$?
    /usr/bin/python3 - "$@" <<'PY' || true
import glob, sys, xml.etree.ElementTree as tree
skipped = []
for preset in sys.argv[1:]:
    try:
        with open("build/%s/vm-skipped.txt" % preset) as note:
            skipped.append(note.read().strip())
    except OSError:
        pass
    cases = []
    for results in sorted(glob.glob("build/%s/ctest-results*.xml" % preset)):
        try:
            cases += tree.parse(results).getroot().iter("testcase")
        except (OSError, tree.ParseError):
            pass
    for case in cases:
        if case.get("status") == "notrun":
            out = (case.findtext("system-out") or "").strip().splitlines()
            reason = next((line for line in out if "SKIP" in line), out[-1] if out else "no reason given")
            skipped.append("%s/%s: %s" % (preset, case.get("name"), reason.strip()))
bar = "=" * 78
if skipped:
    print("\n%s\nSKIPPED: %d suite(s) did not run, so they tested nothing:" % (bar, len(skipped)))
    for line in skipped:
        print("  " + line)
    print(bar)
else:
    print("\nNo suite was skipped.")
PY
    return "$status"
}

case "${1:-}" in
demo)
    ensure_packages "${NATIVE_PACKAGES[@]}"
    build_preset native tarvo_tool  # the tool and the library, not the tests
    ./build/native/tools/tarvo demo
    ;;
sanitize)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${SANITIZE_PACKAGES[@]}"
    test_preset asan
    test_preset tsan
    ;;
test)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SANITIZE_PACKAGES[@]}" "${ECOSYSTEM_PACKAGES[@]}" \
        "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    trap 'stop_background_builds; skipped_summary native fuzz asan tsan win32 win64' EXIT
    rm -f build/*/ctest-results*.xml
    build_preset native
    mkdir -p build
    build_in_background fuzz asan tsan win64 win32
    run_tests native
    await_build fuzz
    run_tests fuzz
    await_build asan
    run_tests asan
    await_build tsan
    run_tests tsan
    test_windows
    ;;
build-each)
    # build-each DIR PRESET...: the background builds of `test`, one after
    # another; DIR/PRESET.built or DIR/PRESET.failed says how each ended.
    for preset in "${@:3}"; do
        if build_preset "$preset" >"build/$preset.log" 2>&1; then
            touch "$2/$preset.built"
        else
            touch "$2/$preset.failed"
            exit 1
        fi
    done
    ;;
fuzz)
    ensure_packages cmake make "${FUZZ_PACKAGES[@]}"
    build_preset fuzz
    tests/fuzz/run_fuzzer.sh build/fuzz/tests/fuzz/api_fuzzer "${@:2}"
    ;;
bench)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    build_preset win32  # the Wine half of the bench drives build/win32's Tarvo.dll
    build_preset native
    cmake --build --preset native --target bench
    ;;
package)
    ensure_packages "${NATIVE_PACKAGES[@]}" "${ECOSYSTEM_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    # Each package is made from its preset's tree as built (and tested, after
    # ./dev.sh test): only what is missing is built.
    for preset in native win32 win64; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$(jobs)" --target package
    done
    ls -l build/native/packages/*.deb build/win32/packages/*.zip build/win64/packages/*.zip
    ;;
*)
    echo "usage: $0 demo|test|fuzz [runs]|sanitize|bench|package" >&2
    exit 2
    ;;
esac
