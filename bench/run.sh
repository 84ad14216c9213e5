#!/usr/bin/env bash
# cabinet_tool measured against the format's limit: zlib alone on the same
# independent 32767-byte blocks, in memory, on one core (and libdeflate's
# decompressor on them). The tool uses every core; bench_threads gives the
# library's one-thread rows, and pigz the parallel reference (installed when
# missing and run as root, or its rows are skipped). Builds in Release
# (build-bench/), makes its data from files of this machine in a scratch
# directory that it removes afterwards, and prints one table. A few minutes
# on two cores; run it when the machine is otherwise quiet.
#
# usage: bench/run.sh
# shellcheck disable=SC2154 # the figures are set by m and by an eval below
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench

say() { echo "$*" >&2; }
fail() {
    say "bench: $*"
    exit 1
}

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
say "building in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKISTLE_BUILD_TESTS=OFF \
    -DKISTLE_BUILD_BENCH=ON >&2
cmake --build "$build" -j2 >&2
tool=$build/tool/cabinet_tool
measure=$build/bench/bench_measure
limit=$build/bench/bench_limit
folders=$build/bench/bench_folders
threads=$build/bench/bench_threads
gzip=$(command -v gzip) || fail "gzip is needed for the reference rows"
cores=$(nproc)
pigz=$(command -v pigz || true)
if [ -z "$pigz" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    say "installing pigz for its rows"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pigz; } >&2 || true
    pigz=$(command -v pigz || true)
fi
[ -n "$pigz" ] || say "bench: pigz is missing and cannot be installed here: its rows are skipped"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kistle-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch # where the creator keeps its temporary data file
cd "$scratch"

# --- data ---------------------------------------------------------------

# Readable regular files below the given places (find operands and tests
# may follow), NUL-separated, in name order.
files_below() { find "$@" -type f -readable -size +0 -print0 2>/dev/null | LC_ALL=C sort -z; }

# The first $1 bytes of the files listed on standard input (NUL-separated),
# concatenated, and repeated when they hold fewer bytes.
take() {
    local size=$1 list total round
    list=$(mktemp -p "$scratch")
    cat >"$list"
    total=$(xargs -0 -r stat -c %s <"$list" | awk '{ s += $1 } END { print s + 0 }')
    [ "$total" -gt 0 ] || fail "no readable files to take data from"
    for ((round = 0; round <= size / total; ++round)); do
        xargs -0 cat <"$list" 2>/dev/null || true
    done | head -c "$size"
    rm -f "$list"
}

# $1 names, spread evenly over the names on standard input.
pick() {
    awk -v want="$1" '{ name[NR] = $0 }
        END { step = NR / want; if (step < 1) step = 1
              for (i = 1; i <= NR && n < want; i += step) { print name[int(i)]; n++ } }'
}

# Files for the creation dialogue: one name a line, an empty line, the cabinet.
dialogue() {
    local names=$1 cabinet=$2
    cat "$names"
    printf '\n%s\n' "$cabinet"
}

say "making the data in $scratch"
mib=$((1 << 20))
compressed_suffixes=(! -name '*.gz' ! -name '*.xz' ! -name '*.bz2' ! -name '*.zst'
    ! -name '*.png' ! -name '*.jpg' ! -name '*.svgz')
{
    files_below /usr/include | take $((20 * mib))
    files_below /usr/share "${compressed_suffixes[@]}" | take $((20 * mib))
    files_below /usr/lib -maxdepth 2 -name '*.so*' | take $((16 * mib))
    head -c $((8 * mib)) /dev/urandom
} >big.bin
for _ in 1 2 3 4 5 6 7 8; do cat big.bin; done >huge.bin
printf 'big.bin\n' >big.names
printf 'huge.bin\n' >huge.names

# A tree of real files with short, plain names (the dialogue reads one a line).
plain='^/[A-Za-z0-9._+/-]{1,150}$'
{
    find /usr/include -type f -readable -size -257k | grep -E "$plain" | LC_ALL=C sort | pick 2000
    find /usr/share -type f -readable -size -257k | grep -E "$plain" | LC_ALL=C sort | pick 1000
} | sed 's|^/||' >tree.names
tree_files=$(wc -l <tree.names)
[ "$tree_files" -ge 2000 ] || fail "only $tree_files files for the tree"
mkdir tree
tar -C / -cf - -T tree.names | tar -C tree -xf -
(cd tree && tr '\n' '\0' <../tree.names | xargs -0 cat) >tree.bin
tar -C tree -cf tree.tar usr
printf 'tree.bin\n' >tree1.names
mapfile -t tree_names <tree.names
# Every name goes on one command line: it must fit.
arg_max=$(getconf ARG_MAX)
arg_bytes=$(($(wc -c <tree.names) + $(env | wc -c) + ${#scratch} + 4096))
[ "$arg_bytes" -lt "$arg_max" ] || fail "the tree's names need $arg_bytes bytes, ARG_MAX is $arg_max"

mkdir many
files_below /usr/include | take $((65535 * 64)) >many.bin
(cd many && split -b 64 -a 5 -d ../many.bin f && printf '%s\n' f*) >many.names
[ "$(wc -l <many.names)" -eq 65535 ] || fail "the 65535 small files were not made"
# The same files, one folder each, as many folders as a cabinet may hold.
head -n 65533 many.names >folders.names
mapfile -t folder_names <folders.names
arg_bytes=$(($(wc -c <folders.names) + $(env | wc -c) + ${#scratch} + 4096))
[ "$arg_bytes" -lt "$arg_max" ] || fail "the folders' names need $arg_bytes bytes, ARG_MAX is $arg_max"

for set in big huge tree1; do
    dialogue $set.names $set.cab >$set.in
done
# These two are created from inside their directories.
dialogue tree.names ../tree.cab >tree.in
dialogue many.names ../many.cab >many.in
mkdir out

# --- measurements -------------------------------------------------------

# m NAME [bench_measure options] -- PROGRAM ARG...: one more measurement of
# NAME; NAME_s keeps the fastest run's seconds, NAME_kib the largest peak
# resident memory.
m() {
    local name=$1 result seconds kib
    shift
    result=$("$measure" "$@") || fail "$name failed"
    read -r seconds kib <<<"$result"
    best "${name}_s" "$seconds" min
    best "${name}_kib" "$kib" max
}

# best VARIABLE VALUE min|max: VARIABLE becomes VALUE if it is unset or VALUE
# is better.
best() {
    local current=${!1:-}
    if [ -z "$current" ] || awk -v a="$2" -v b="$current" -v way="$3" \
        'BEGIN { exit !(way == "min" ? a < b : a > b) }'; then
        printf -v "$1" '%s' "$2"
    fi
}

# The limit, once more: limit_deflate, limit_inflate and limit_libdeflate
# keep the best times.
limit_round() {
    local key value
    while read -r key value; do
        case $key in
        deflate | inflate | libdeflate) best "limit_$key" "$value" min ;;
        *) printf -v "limit_$key" '%s' "$value" ;;
        esac
    done < <("$limit" big.bin 1)
}

# Rounds interleave the runs that are compared, so that a change in the
# machine's load between them does not pass for a difference.
say "measuring the 64 MiB file"
for _ in 1 2 3; do
    limit_round
    m create64 -r big.cab -i big.in -- "$tool"
    m create64_one -r big1.cab -- "$threads" create 1 big1.cab big.bin
    m gzip6 -r big.bin.gz -o big.bin.gz -- "$gzip" -6 -c big.bin
    if [ -n "$pigz" ]; then
        m pigz6 -r big.bin.pz -o big.bin.pz -- "$pigz" -p "$cores" -6 -c big.bin
    fi
    m extract64 -n 2 -w out -- "$tool" "$scratch/big.cab" big.bin
    m extract64_one -n 2 -w out -- "$threads" extract 1 "$scratch/big.cab" big.bin
    m gunzip -n 2 -r out/big.bin -o out/big.bin -- "$gzip" -d -c big.bin.gz
    if [ -n "$pigz" ]; then
        m unpigz -n 2 -r out/big.bin -o out/big.bin -- "$pigz" -p "$cores" -d -c big.bin.pz
    fi
done
cmp -s big.cab big1.cab || fail "one thread and $cores made different cabinets"
m extract64_one -w out -- "$threads" extract 1 "$scratch/big.cab" big.bin
cmp -s big.bin out/big.bin || fail "the 64 MiB file did not extract intact on one thread"
# Once more, so that out/ holds what the tool wrote.
m extract64 -w out -- "$tool" "$scratch/big.cab" big.bin
cmp -s big.bin out/big.bin || fail "the 64 MiB file did not extract intact"

say "measuring the tree"
cd tree
m tree_create -r ../tree.cab -i ../tree.in -- "$tool"
cd ..
m tree1_create -r tree1.cab -i tree1.in -- "$tool" # no row of its own
for _ in 1 2 3; do
    m tree_all -w out -- "$tool" "$scratch/tree.cab" "${tree_names[@]}"
    m tree_one -w out -- "$tool" "$scratch/tree1.cab" tree.bin
    m tree_all_one -w out -- "$threads" extract 1 "$scratch/tree.cab" "${tree_names[@]}"
    m tree_tar -w out -- "$(command -v tar)" -xf "$scratch/tree.tar"
done
m tree_all -w out -- "$tool" "$scratch/tree.cab" "${tree_names[@]}" # out/ for the check
diff -r tree out >/dev/null || fail "the tree did not extract intact"

say "measuring 65535 files"
cd many
m many_create -r ../many.cab -i ../many.in -- "$tool"
cd ..
m list -n 5 -- "$tool" "$scratch/many.cab"

say "measuring 65533 folders"
cd many
m folders_create -r ../folders.cab -i ../folders.names -- "$folders" ../folders.cab
cd ..
m folders_all -w out -- "$tool" "$scratch/folders.cab" "${folder_names[@]}"
(cd out && xargs -d '\n' cat <../folders.names) >folders.out
(cd many && xargs -d '\n' cat <../folders.names) | cmp -s - folders.out ||
    fail "the 65533 folders did not extract intact"

say "measuring the 512 MiB file"
m create512 -r huge.cab -i huge.in -- "$tool"
m extract512 -w out -- "$tool" "$scratch/huge.cab" huge.bin
cmp -s huge.bin out/huge.bin || fail "the 512 MiB file did not extract intact"

# --- table --------------------------------------------------------------

calc() { awk "BEGIN { $1 }" </dev/null; }
in_mib() { calc "printf \"%.1f\", $1 / 1048576"; }
ratio() { calc "printf \"%.2f\", $1 / $2"; }
verdict() { calc "print ($1) ? \"met\" : \"MISSED\""; }
line() { printf '%-40s %8s %9s %6s  %s\n' "$@"; }
# row LABEL NAME [RATIO TARGET]: the time and peak of measurement NAME.
row() {
    local seconds=${2}_s kib=${2}_kib
    line "$1" "$(calc "printf \"%.3f\", ${!seconds}")" "$(in_mib "${!kib} * 1024")" \
        "${3:--}" "${4:--}"
}

tree_bytes=$(stat -c %s tree.bin)
create_ratio=$(ratio "$create64_s" "$limit_deflate")
create_one_ratio=$(ratio "$create64_one_s" "$limit_deflate")
extract_ratio=$(ratio "$extract64_s" "$limit_inflate")
extract_one_ratio=$(ratio "$extract64_one_s" "$limit_inflate")
tree_ratio=$(ratio "$tree_all_s" "$tree_one_s")
if [ -n "$pigz" ]; then
    beats_pigz=$(verdict "$create64_s < $pigz6_s")
else
    beats_pigz="no pigz"
fi
memory_ok="$create512_kib < 32768 && $extract512_kib < 32768"

echo "cabinet_tool against the format's limit ($cores cores, $(date -u '+%Y-%m-%d %H:%M UTC'))"
echo "64 MiB file: 20 MiB /usr/include, 20 MiB /usr/share text, 16 MiB /usr/lib binaries,"
echo "  8 MiB random; $limit_blocks blocks, $(in_mib "$limit_stored") MiB as blocks with headers"
echo "tree: $tree_files files, $(in_mib "$tree_bytes") MiB; 65535 files of 64 bytes;" \
    "512 MiB file: the 64 MiB file eight times"
echo "65533 folders: the first 65533 of the 64-byte files, one folder each, made by"
echo "  bench_folders through the library (new_folder and add_file for each file)"
echo "scratch directory on $(stat -f -c %T "$scratch"); the creator's temporary file goes there too"
echo "time: best of 3 to 7 runs, compared rows taken in turn (one run for the tree's and"
echo "  the 65535 files' cabinets, the 65533 folders and the 512 MiB rows); peak: resident"
echo "  memory, largest run; the tool and pigz use $cores threads, the limit one"
echo "load average before the run: $load_before"
echo
line "" "time s" "peak MiB" "ratio" "target"
line "limit: deflate the blocks in memory" "$limit_deflate" - - -
line "limit: inflate them" "$limit_inflate" - - -
line "limit: inflate them with libdeflate" "$limit_libdeflate" - \
    "$(ratio "$limit_libdeflate" "$limit_inflate")" \
    "used where >= 1.5 x faster: $(verdict "$limit_inflate >= 1.5 * $limit_libdeflate")"
row "create, 64 MiB file" create64 "$create_ratio" \
    "<= 0.60 x limit deflate: $(verdict "$create_ratio <= 0.60"), faster than pigz: $beats_pigz"
row "create, 64 MiB file, one thread" create64_one "$create_one_ratio" \
    "<= 1.10 x limit deflate: $(verdict "$create_one_ratio <= 1.10")"
if [ -n "$pigz" ]; then
    row "pigz -p $cores -6, same file" pigz6 "$(ratio "$pigz6_s" "$limit_deflate")"
fi
row "gzip -6, same file" gzip6 "$(ratio "$gzip6_s" "$limit_deflate")"
row "extract, 64 MiB file" extract64 "$extract_ratio" \
    "<= 0.60 x limit inflate: $(verdict "$extract_ratio <= 0.60")"
row "extract, 64 MiB file, one thread" extract64_one "$extract_one_ratio" \
    "<= 1.25 x limit inflate: $(verdict "$extract_one_ratio <= 1.25")"
if [ -n "$pigz" ]; then
    row "pigz -d, same file" unpigz "$(ratio "$unpigz_s" "$limit_inflate")"
fi
row "gzip -d, same file" gunzip "$(ratio "$gunzip_s" "$limit_inflate")"
row "create, tree of $tree_files files" tree_create
row "extract all $tree_files files, one run" tree_all "$tree_ratio" \
    "<= 1.5 x one file: $(verdict "$tree_ratio <= 1.5")"
row "extract one file of the same size" tree_one
row "extract all $tree_files files, one thread" tree_all_one "$(ratio "$tree_all_one_s" "$tree_one_s")"
row "tar -x of the tree, not compressed" tree_tar "$(ratio "$tree_tar_s" "$tree_one_s")"
row "create, 65535 files" many_create
row "list 65535 files" list "" "well under 1 s (<= 0.25): $(verdict "$list_s <= 0.25")"
row "create, 65533 folders of one file" folders_create "" \
    "< 10 s, peak < 64 MiB: $(verdict "$folders_create_s < 10 && $folders_create_kib < 65536")"
row "extract all 65533 folders, one run" folders_all "" \
    "< 10 s, peak < 64 MiB: $(verdict "$folders_all_s < 10 && $folders_all_kib < 65536")"
row "create, 512 MiB file" create512 "" "peak < 32 MiB, with extract: $(verdict "$memory_ok")"
row "extract, 512 MiB file" extract512
