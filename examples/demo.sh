#!/usr/bin/env bash
# The main job on a small sample tree: store it in a cabinet with kistle,
# list the cabinet, test it, extract it elsewhere and compare the result
# with the original.
# Usage: examples/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
kistle=$(realpath "${1:-build}")/cli/kistle
cd "$(dirname "$0")/.."
rm -rf demo && mkdir -p "demo/sample/docs/nested dir" && cd demo

printf 'Hello, cabinet!\n' > sample/hello.txt
seq 1 200000 > sample/docs/numbers.txt
printf 'caf\xc3\xa9 cr\xc3\xa8me\n' > "sample/docs/nested dir/caf$(printf '\xc3\xa9').txt"
head -c 100000 "$kistle" > sample/kistle-head.bin
: > sample/empty.txt
chmod a-w sample/docs/numbers.txt

set -x
"$kistle" create sample.cab sample
"$kistle" list -l sample.cab
"$kistle" test sample.cab
"$kistle" extract -C restored sample.cab
diff -r sample restored/sample
{ set +x; } 2>/dev/null
echo "== demo/restored/sample is identical to demo/sample"
