#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the examples against it,
# once through the CMake package and once through pkg-config; checks that
# <kistle/archive.h> stands alone and brings no names into the global
# namespace.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
test -L "$libdir/libkistle.so.1"
for header in kistle.h archive.h export.h version.h; do
    test -f "$prefix/include/kistle/$header"
done
# Internal headers stay behind.
for header in temporary_file.h folder_cursor.h little_endian.h stored_name.h outcome.h; do
    test ! -e "$prefix/include/kistle/$header"
done

examples="cabinet_roundtrip archive_roundtrip"
cmake -S "$source_dir/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
for example in $examples; do
    mkdir "$work/run-cmake-$example"
    (cd "$work/run-cmake-$example" && "$work/cmake-build/$example" >/dev/null)
done

export PKG_CONFIG_PATH=$libdir/pkgconfig
for example in $examples; do
    # shellcheck disable=SC2046
    c++ -std=c++17 -Wall -Wextra -Werror "$source_dir/examples/$example.cpp" \
        -o "$work/pkgconfig-$example" $(pkg-config --cflags --libs kistle)
    mkdir "$work/run-pkgconfig-$example"
    (cd "$work/run-pkgconfig-$example" && LD_LIBRARY_PATH=$libdir "$work/pkgconfig-$example" >/dev/null)
done

# A CMake project that asks for C++14 is raised to C++17 by the target.
mkdir "$work/cxx14"
cat >"$work/cxx14/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.16)
project(cxx14_client LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 14)
set(CMAKE_CXX_EXTENSIONS OFF)
find_package(kistle 1 REQUIRED)
add_executable(client client.cpp)
target_link_libraries(client PRIVATE kistle::kistle)
PROJECT
cat >"$work/cxx14/client.cpp" <<'PROGRAM'
#include <kistle/kistle.h>
int main() {
    kistle::writer out;
    return out.is_open() ? 1 : 0;
}
PROGRAM
cmake -S "$work/cxx14" -B "$work/cxx14-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cxx14-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cxx14-build/client"

# The bash completion is installed where bash-completion looks for it.
test -f "$prefix/share/bash-completion/completions/kistle"

# archive.h compiles on its own, and a program may use the names of the
# record-level headers for its own things at global scope.
cat >"$work/own_names.cpp" <<'PROGRAM'
struct dynamic_array {};
template <class T> struct QueueOf {};
#include <kistle/archive.h>
struct b_string {};
struct ObjectBase {};
struct cabinet_reader {};
struct cabinet_creator {};
struct cabinet_header {};
int CAB_STATUS_OK = 1;
int get_cabinet_error_string = 2;
int io_read = 3;
int main() {
    kistle::writer out;
    return out.is_open() ? 1 : CAB_STATUS_OK - 1;
}
PROGRAM
c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" "$work/own_names.cpp"

# The installed tool finds the installed library on its own, and its manual page is there.
mkdir "$work/run-tool"
(cd "$work/run-tool" && env -u LD_LIBRARY_PATH "$prefix/bin/cabinet_tool" ../run-cmake-cabinet_roundtrip/example.cab hello.txt >/dev/null)
cmp "$work/run-tool/hello.txt" "$work/run-cmake-cabinet_roundtrip/hello.txt"
test -f "$prefix/share/man/man1/cabinet_tool.1"

# So does kistle.
(cd "$work/run-tool" && env -u LD_LIBRARY_PATH "$prefix/bin/kistle" cat ../run-cmake-cabinet_roundtrip/example.cab hello.txt >kistle-hello.txt)
cmp "$work/run-tool/kistle-hello.txt" "$work/run-cmake-cabinet_roundtrip/hello.txt"
test -f "$prefix/share/man/man1/kistle.1"
