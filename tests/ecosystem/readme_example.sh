#!/usr/bin/env bash
# The README's first C example, as a reader would paste it into main(), built
# against this tree and run where port 1 cannot open: it must end at once on
# the error code, not poll forever.
#   readme_example.sh SOURCE_DIR INCLUDE_DIR LIBRARY WORK_DIR
set -euo pipefail
source=$1 include=$2 library=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"

example=$(awk '/^A typical exchange/ {on = 1} on && /^```c$/ {body = 1; next} body && /^```$/ {exit} body' \
          "$source/README.md")
[ -n "$example" ] || fail "no C example after 'A typical exchange' in README.md"
{
    grep '^#include' <<<"$example"
    echo 'int main(void) {'
    grep -v '^#include' <<<"$example"
    echo 'return n < 0; }'
} >"$work/example.c"
cc -std=c99 -Wall -Wno-unused-variable -Werror -I"$include" -o "$work/example" "$work/example.c" "$library" -Wl,-rpath,"$(dirname "$library")"
status=0
TARVO_COM1="$work/no-such-device" timeout 10 "$work/example" || status=$?
[ "$status" -ne 124 ] || fail "the README's example polls on after an error code"
[ "$status" -eq 1 ] || fail "the README's example ends with status $status, expected 1 (n < 0)"
echo "PASS: the README's example stops on an error code"
