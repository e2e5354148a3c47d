#!/usr/bin/env bash
# Runs the API fuzzer for RUNS executions (default 200000) from seed 1 over a
# copy of the seed corpus, beside the fuzzer in the build tree, so the
# repository's corpus never changes. Further libFuzzer flags may follow,
# e.g. -max_total_time=600 or -jobs=2. Exit status non-zero on any finding;
# the input that caused it is left as crash-* beside the fuzzer.
#   run_fuzzer.sh FUZZER [RUNS [libFuzzer flags...]]
set -euo pipefail
fuzzer=$(realpath "$1")
runs=${2:-200000}
shift $(($# < 2 ? $# : 2))
seeds="$(dirname "$0")/corpus"
work="$(dirname "$fuzzer")/corpus"
rm -rf "$work"
mkdir -p "$work"
cp "$seeds"/* "$work"/
cd "$(dirname "$fuzzer")"
exec "$fuzzer" -runs="$runs" -seed=1 -max_len=1024 -print_final_stats=1 "$@" "$work"
