#!/usr/bin/env bash
# Compiles one include at a time with the include path of a layer: what the
# layer builds on must compile, an include upwards or across must not. Then
# checks that kistle includes the library through <kistle/archive.h> only.
# Usage: check_layers.sh COMPILER DIRECTORY_OF_INCLUDE_LISTS
set -euo pipefail
compiler=$1
lists=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect LAYER_TARGET yes|no INCLUDE
expect() {
    local target=$1 wanted=$2 include=$3 flags=()
    while IFS= read -r dir; do
        [ -n "$dir" ] && flags+=("-I$dir")
    done <"$lists/$target.includes"
    printf '#include %s\n' "$include" >"$work/probe.cpp"
    local got=no
    if "$compiler" -std=c++17 -fsyntax-only "${flags[@]}" "$work/probe.cpp" 2>/dev/null; then
        got=yes
    fi
    if [ "$got" != "$wanted" ]; then
        echo "$target: #include $include compiles: $got, expected: $wanted" >&2
        failures=$((failures + 1))
    fi
}

expect kistle_base yes '<kistle/cabinet_status.h>'
expect kistle_base yes '"temporary_file.h"'
expect kistle_base no '<kistle/cabinet_header.h>'

expect kistle_records yes '<kistle/cabinet_datablock.h>'
expect kistle_records yes '"little_endian.h"'
expect kistle_records no '<kistle/cabinet_creator.h>'
expect kistle_records no '<kistle/cabinet_reader.h>'

expect kistle_create yes '<kistle/cabinet_creator.h>'
expect kistle_create yes '"record_image.h"'
expect kistle_create no '<kistle/cabinet_reader.h>'
expect kistle_create no '"folder_cursor.h"'
expect kistle_create no '<kistle/archive.h>'

expect kistle_extract yes '<kistle/cabinet_reader.h>'
expect kistle_extract no '<kistle/cabinet_creator.h>'
expect kistle_extract no '"cabinet_target.h"'
expect kistle_extract no '<kistle/archive.h>'

expect kistle_archive yes '<kistle/archive.h>'
expect kistle_archive yes '"folder_cursor.h"'
expect kistle_archive yes '"cabinet_target.h"'

# The tool sees the installed headers only.
expect cabinet_tool_modules yes '<kistle/kistle.h>'
expect cabinet_tool_modules yes '<kistle/archive.h>'
expect cabinet_tool_modules no '"temporary_file.h"'
expect cabinet_tool_modules no '"stored_name.h"'

# kistle is built on <kistle/archive.h> alone: its sources include no other
# header of the library, and none of the library's sources by path.
cli=$(dirname "$0")/../../cli
while IFS= read -r line; do
    echo "cli: $line: only <kistle/archive.h> may be included" >&2
    failures=$((failures + 1))
done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*(<kistle/|"[^"]*(lib|kistle)/)' \
             "$cli"/*.cpp "$cli"/*.h | grep -v '<kistle/archive\.h>' || true)

exit $((failures != 0))
