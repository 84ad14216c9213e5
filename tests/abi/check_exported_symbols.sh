#!/usr/bin/env bash
# Compares the dynamic symbols that libkistle exports with the list kept in
# the repository, so that a new export, or a lost one, is a visible decision.
# Usage: check_exported_symbols.sh LIBRARY LIST [--update]
# With --update it writes the library's symbols to LIST instead.
set -euo pipefail
library=$1
list=$2

# Demangled names only: the symbol types, and the several copies of a
# constructor or destructor, differ between compilers.
exported() {
    nm -D --defined-only -C "$library" | sed -E 's/^[0-9a-f]+ [A-Za-z] //' | LC_ALL=C sort -u
}

if [ "${3:-}" = --update ]; then
    exported >"$list"
    exit 0
fi
if ! diff -u "$list" <(exported); then
    echo "The exported symbols differ from $list: lines with + are new exports, lines with - lost ones." >&2
    echo "If the change is intended: $0 $library $list --update" >&2
    exit 1
fi
