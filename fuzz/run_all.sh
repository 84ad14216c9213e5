#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds each, one after another, from
# the seed corpus that make_corpus writes. Any crash, sanitizer report, leak,
# timeout or over-sized allocation stops the run with a failure; the input
# that caused it is kept in BUILD/fuzz-artifacts/.
#   fuzz/run_all.sh SECONDS [BUILD]    (BUILD defaults to build-fuzz)
set -euo pipefail

seconds=${1:?usage: fuzz/run_all.sh SECONDS [BUILD]}
build=$(realpath "${2:-build-fuzz}")
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"

rm -rf "$corpus/seeds"
"$build/fuzz/make_corpus" "$corpus/seeds"

# detect_leaks is the default, said here so that nothing turns it off.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for target in reader archive record records datablock extract_data inflate; do
    log=$artifacts/fuzz_$target.log
    mkdir -p "$corpus/$target"
    echo "fuzz: $target for ${seconds}s"
    # No block is larger than 64 KiB and no index than 1 MiB: an allocation
    # of 4 MiB can only come from a size that an input claims.
    if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=1024 -malloc_limit_mb=4 -print_final_stats=1 \
        -artifact_prefix="$artifacts/fuzz_${target}-" \
        "$corpus/$target" "$corpus/seeds/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $target FAILED; input kept under $artifacts"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target passed, $runs executions"
done
