#!/usr/bin/env bash
# Installs a megfwd build into a temporary prefix and builds and runs the
# consumer program of this directory against it twice: as a CMake project
# (find_package(megfwd)) and compiled directly with pkg-config's flags.
#   check_install.sh BUILD_DIR CXX_COMPILER
set -euo pipefail
build=$1
cxx=$2
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/megfwd-install-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
for f in bin/megfwd include/megfwd/forward_api/Compute.h include/megfwd/host_interfaces/Afx.h; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
"$prefix/bin/megfwd" --version

echo "== CMake package"
cmake -S "$here" -B "$tmp/consumer" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$tmp/configure.log" || { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/consumer" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
"$tmp/consumer/consumer"

echo "== pkg-config"
pc=$(find "$prefix" -name megfwd.pc)
[ -n "$pc" ] || { echo "megfwd.pc not installed" >&2; exit 1; }
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs megfwd)
echo "pkg-config --cflags --libs megfwd: $flags"
# shellcheck disable=SC2086  # the flags are words
"$cxx" -O1 "$here/main.cpp" -o "$tmp/consumer_pc" $flags
"$tmp/consumer_pc"
