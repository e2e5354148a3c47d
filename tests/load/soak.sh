#!/bin/sh
# soak.sh [ROUNDS [PRESET]]: every suite of the preset (native), ROUNDS times
# in a row (5), under `ctest -j4` beside a CPU hog on every core (stress-ng,
# stopped when the rounds end). Shared CI machines are that noisy; a suite
# that passes only on an idle machine waits for time instead of for events.
# Prints each round's count and failures; exit status 1 if any round failed.
set -eu
cd "$(dirname "$0")/../.."
rounds=${1:-5}
preset=${2:-native}
command -v stress-ng >/dev/null || { echo "soak.sh: stress-ng is not installed" >&2; exit 2; }
stress-ng --cpu "$(nproc)" --timeout 3h --quiet &
hog=$!
trap 'kill $hog 2>/dev/null; wait $hog 2>/dev/null' EXIT INT TERM
failed=0
round=1
while [ "$round" -le "$rounds" ]; do
    log=build/$preset/soak-$round.log
    if ctest --preset "$preset" -j4 --output-on-failure >"$log" 2>&1; then :; else failed=1; fi
    echo "round $round: $(grep -E 'tests passed' "$log")"
    grep -E '^\s+[0-9]+ - ' "$log" || true
    round=$((round + 1))
done
exit $failed
