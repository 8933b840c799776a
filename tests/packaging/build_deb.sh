#!/usr/bin/env bash
# Builds the Debian package from the already built tree into a folder of its own, leaving
# exactly one .deb there for the tests that inspect and install it.
# usage: build_deb.sh CPACK_CONFIG OUTPUT_DIR
set -euo pipefail
config="$1"
out="$2"

rm -rf "$out"
mkdir -p "$out"
cpack --config "$config" -G DEB -B "$out"

shopt -s nullglob
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
    echo "FAIL: expected one .deb in $out, found ${#debs[@]}"
    exit 1
fi
echo "built ${debs[0]}"
