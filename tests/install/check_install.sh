#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the examples against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
test -L "$libdir/libkistle.so.1"
test -f "$prefix/include/kistle/kistle.h"

cmake -S "$source_dir/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/cabinet_roundtrip"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror "$source_dir/examples/cabinet_roundtrip.cpp" \
    -o "$work/pkgconfig-client" $(pkg-config --cflags --libs kistle)
LD_LIBRARY_PATH=$libdir "$work/pkgconfig-client"

# The installed tool finds the installed library on its own.
env -u LD_LIBRARY_PATH "$prefix/bin/cabinet_tool" </dev/null >/dev/null 2>&1 || test $? -eq 1
