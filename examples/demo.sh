#!/usr/bin/env bash
# The main job on a small sample: make a cabinet of a few files through the
# creation dialogue, report on it, and extract files from it.
# Usage: examples/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
tool=$(realpath "${1:-build}")/tool/cabinet_tool
cd "$(dirname "$0")/.."
rm -rf demo && mkdir -p demo/sample/docs demo/out && cd demo

printf 'Hello, cabinet!\n' > sample/hello.txt
seq 1 200000 > sample/docs/numbers.txt
head -c 50000 "$tool" > sample/tool-head.bin

echo "== creating demo/sample.cab (the dialogue's answers come from standard input)"
printf 'sample/hello.txt\nsample/docs/numbers.txt\nsample/tool-head.bin\n\nsample.cab\n' | "$tool"
echo
ls -l sample.cab

echo "== reporting on it and extracting two files into demo/out"
# The table's heading, ruler and rows carry no line ends: 80 columns each.
(cd out && "$tool" ../sample.cab sample/hello.txt sample/docs/numbers.txt) | fold -w 80
echo
cmp sample/docs/numbers.txt out/sample/docs/numbers.txt
cmp sample/hello.txt out/sample/hello.txt
echo "== extracted files are identical to the originals"
