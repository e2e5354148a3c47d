#!/usr/bin/env bash
# The man page renders without warnings and names every command and every
# script command that the tool's own help lists.
#   man_page.sh MAN_PAGE TOOL
set -euo pipefail
page=$1 tool=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
[ -n "$text" ] || fail "man -l renders nothing"
grep -q "tarvo $("$tool" --version | awk '{print $2}')" "$page" || fail "the page does not carry the tool's version"

# Commands: the indented words of `tarvo --help`; script commands: the first
# word of each synopsis line of `tarvo run --help`.
commands=$("$tool" --help | awk '/^commands:/ {on = 1; next} on && /^  [A-Za-z]/ {print $1}')
script=$("$tool" run --help | awk '/^commands:/ {on = 1; next} /^example:/ {on = 0} on && /^  [A-Za-z]/ {print $1}')
[ -n "$commands" ] && [ -n "$script" ] || fail "could not read the tool's help"
for word in $commands $script; do
    grep -qE "^\.(B|BR|BI|TP|SS|IP) \"?$word\b|^\\\\fB$word\\\\fR" "$page" || fail "the page does not describe '$word'"
done
echo "PASS: $(echo $commands $script | wc -w) commands described"
