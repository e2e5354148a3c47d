#!/bin/sh
# isolated.sh [--required] PROGRAM [ARGS...]
# Runs a test program where nothing it sends can leave this machine: in a
# network namespace of its own with only loopback up, and a mount namespace
# whose /etc/resolv.conf names the tests' name server on 127.0.0.1, with the
# search domain "test". TARVO_TEST_ISOLATED=1 tells the program so.
# Where the namespaces cannot be made (not root, or not allowed here), the
# program runs as it is, on literal loopback addresses only; with --required
# (it looks names up) it is skipped instead, with exit status 77.
set -eu
required=
if [ "${1:-}" = --required ]; then required=1; shift; fi

if [ "${TARVO_TEST_ISOLATED:-}" != inside ]; then
    if unshare --net --mount true 2>/dev/null; then
        TARVO_TEST_ISOLATED=inside exec unshare --net --mount "$0" "$@"
    fi
    if [ -n "$required" ]; then
        echo "skipped: needs network and mount namespaces (root), else its names would be looked up by this machine's name server" >&2
        exit 77
    fi
    exec "$@"
fi

ip link set lo up
# A documentation address on loopback too: programs that look up with
# AI_ADDRCONFIG (ser2net) see IPv4 configured only when some address other
# than 127/8 is; on loopback it takes nothing off the machine.
ip addr add 192.0.2.1/32 dev lo
# Without a resolv.conf the resolver asks 127.0.0.1 already.
if [ -e /etc/resolv.conf ]; then
    conf=$(mktemp)
    echo 'nameserver 127.0.0.1' >"$conf"
    mount --bind "$conf" /etc/resolv.conf
    rm -f "$conf"
fi
TARVO_TEST_ISOLATED=1 LOCALDOMAIN=test exec "$@"
