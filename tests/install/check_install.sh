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
mkdir "$work/run-cmake" && (cd "$work/run-cmake" && "$work/cmake-build/cabinet_roundtrip")

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror "$source_dir/examples/cabinet_roundtrip.cpp" \
    -o "$work/pkgconfig-client" $(pkg-config --cflags --libs kistle)
mkdir "$work/run-pkgconfig" && (cd "$work/run-pkgconfig" && LD_LIBRARY_PATH=$libdir "$work/pkgconfig-client")

# The installed tool finds the installed library on its own, and its manual page is there.
mkdir "$work/run-tool"
(cd "$work/run-tool" && env -u LD_LIBRARY_PATH "$prefix/bin/cabinet_tool" ../run-cmake/example.cab hello.txt >/dev/null)
cmp "$work/run-tool/hello.txt" "$work/run-cmake/hello.txt"
test -f "$prefix/share/man/man1/cabinet_tool.1"
