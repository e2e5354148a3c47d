#!/usr/bin/env bash
# cmake --install of this build tree into a temporary prefix, then the checks
# of check_prefix.sh on it.
#   install_tree.sh BUILD_DIR SOURCE_DIR WORK_DIR [LIBDIR]
set -euo pipefail
build=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$source/tests/ecosystem/check_prefix.sh" "$work/prefix" "$source" "$work/check" "${4:-lib}"
