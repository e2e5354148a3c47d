#!/usr/bin/env bash
# The `tarvo run` examples of the README and the man page, run as written
# against an instrument that answers at 9600 bit/s: each must print the
# whole answer, not its first bytes.
#   tool_examples.sh SOURCE_DIR TOOL PYTHON WORK_DIR
set -euo pipefail
source=$1 tool=$2 python=$3 work=$4
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"

# The lines between `tarvo run - <<'EOF'` and EOF; the man page's escapes undone.
awk '/tarvo run - <<.EOF.$/ {on = 1; next} on && /^EOF$/ {exit} on' "$source/README.md" >"$work/readme.script"
awk '/tarvo run \\- <<.EOF.$/ {on = 1; next} on && /^EOF$/ {exit} on' "$source/docs/tarvo.1" |
    sed -e 's/\\e/\\/g' -e 's/\\-/-/g' >"$work/man.script"
for example in readme man; do
    [ -s "$work/$example.script" ] || fail "no tarvo run example in the $example"
    "$python" "$source/tests/ecosystem/instrument_peer.py" --pace 9600 "$tool" run "$work/$example.script" \
        >"$work/$example.out" 2>&1 || fail "the $example's example: $(cat "$work/$example.out")"
done
cmp -s "$work/readme.script" "$work/man.script" || fail "the README's and the man page's examples differ"
echo "PASS: both examples print the whole answer at 9600 bit/s"
