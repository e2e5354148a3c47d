#!/usr/bin/env bash
# A clean Release build of the shipped Windows files, in a folder of another
# name and depth, gives the same bytes as the build tree under test, whose
# suites ran its DLL: Tarvo.dll, tarvo.exe, both import libraries and the
# ZIP. No binary carries a build or source folder.
#   reproducible_build.sh SOURCE_DIR TOOLCHAIN_FILE WORK_DIR TESTED_TREE ZIP_NAME
set -euo pipefail
source=$1 toolchain=$2 work=$3 tested=$4 name=$5
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
trees=("$work/another/build-of-the-same-commit")
for tree in "${trees[@]}"; do
    cmake -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DTARVO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$tree" --target package -j 2 >/dev/null
done
cmake --build "$tested" --target package >/dev/null

status=0
for file in Tarvo.dll trace/Tarvo.dll tools/tarvo.exe Tarvo.lib libTarvo.dll.a "packages/$name.zip"; do
    sums=$(for tree in "${trees[@]}" "$tested"; do sha256sum "$tree/$file"; done)
    echo "$sums"
    [ "$(awk '{print $1}' <<<"$sums" | sort -u | wc -l)" -eq 1 ] || { echo "FAIL: $file differs" >&2; status=1; }
done
for tree in "${trees[@]}" "$tested"; do
    for file in Tarvo.dll trace/Tarvo.dll tools/tarvo.exe Tarvo.lib libTarvo.dll.a; do
        for folder in "$source" "$tree"; do
            if grep -qaF "$folder" "$tree/$file"; then echo "FAIL: $tree/$file names $folder" >&2; status=1; fi
        done
    done
done
[ $status -eq 0 ] || exit 1
echo "PASS: $name reproduced byte for byte"
