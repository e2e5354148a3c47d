#!/usr/bin/env bash
# cmake --install of this build tree into a temporary prefix, then the checks
# of check_prefix.sh on it, and the documents a plain install carries.
#   install_tree.sh BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR VERSION
set -euo pipefail
build=$1 source=$2 work=$3 lib=$4 version=$5
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in LICENSE api.md; do
    cmp "$source/${file/api.md/docs/api.md}" "$work/prefix/share/doc/tarvo/$file" ||
        { echo "FAIL: share/doc/tarvo/$file is not installed" >&2; exit 1; }
done
"$source/tests/ecosystem/check_prefix.sh" "$work/prefix" "$source" "$work/check" "$lib" "$version"
