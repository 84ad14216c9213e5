#!/usr/bin/env bash
# The benchmark, in three parts; each prints its tables on standard output.
#
# limit: cabinet_tool measured against the format's limit: zlib alone on the
# same independent 32767-byte blocks, in memory, on one core (and
# libdeflate's decompressor on them). The tool uses every core; bench_threads
# gives the library's one-thread rows, and pigz the parallel reference.
#
# trees: kistle against tar with pigz (zip and tar with zstd for reference)
# on copies of /usr/include and /usr/share/doc, in memory (tmpfs) and on the
# disk: creating, extracting everything, testing and listing.
#
# choices: figures for choosing the compressor (bench_compressors on the
# limit's data and real trees), the checksum (bench_checksums) and the
# folder size (kistle create --folder-size on the copy of /usr/include).
# habits: kistle update --delete-missing after one file changed, one added
# and one deleted in a copy of /usr/include, against a full kistle create
# and zip -FS; kistle create - piped into kistle extract - against a file.
#
# record: what the record costs (bench_record): the 64 MiB file and the tree
# of 3000 files written by the library plain and with its record, both with
# zlib 6 on one thread, and read back; the record's size for 65535 entries.
#
# sets: what one cabinet cannot hold, written as a set of cabinets: a 5 GiB
# sparse file and a tree of 70,000 small files, against tar with pigz.
#
# Builds in Release (build-bench/), makes its data from files of this machine
# in a scratch directory under $TMPDIR that it removes afterwards, and
# installs the tools it compares when they are missing and it runs as root
# (or their rows are skipped). limit and trees take a few minutes each on two
# cores, choices about fifteen; run it when the machine is otherwise quiet.
#
# usage: [BENCH_ONLY=PART[,PART...]] bench/run.sh
#   PART is limit, trees, choices, habits, record or sets; by default limit
#   and trees.
# shellcheck disable=SC2154 # the figures are set by m and by an eval below
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
parts=${BENCH_ONLY:-limit,trees}

say() { echo "$*" >&2; }
fail() {
    say "bench: $*"
    exit 1
}
want() { [[ ",$parts," == *",$1,"* ]]; }

for part in ${parts//,/ }; do
    case $part in
    limit | trees | choices | habits | record | sets) ;;
    *) fail "unknown part '$part' in BENCH_ONLY (limit, trees, choices, habits, record, sets)" ;;
    esac
done

# install_missing PROBE=PACKAGE...: installs, as root with apt-get, the
# packages whose probe (a command, or an absolute path) is missing.
install_missing() {
    local pair probe missing=()
    for pair in "$@"; do
        probe=${pair%%=*}
        if [[ $probe == /* ]]; then
            [ -e "$probe" ] && continue
        else
            command -v "$probe" >/dev/null && continue
        fi
        missing+=("${pair#*=}")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        say "installing ${missing[*]} for their rows"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >&2 || true
    fi
}

wanted_packages=(pigz=pigz)
if want trees; then
    wanted_packages+=(zip=zip unzip=unzip zstd=zstd)
fi
install_missing "${wanted_packages[@]}"

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
say "building in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKISTLE_BUILD_TESTS=OFF \
    -DKISTLE_BUILD_BENCH=ON >&2
cmake --build "$build" -j2 >&2
tool=$build/tool/cabinet_tool
kistle=$build/cli/kistle
measure=$build/bench/bench_measure
limit=$build/bench/bench_limit
folders=$build/bench/bench_folders
threads=$build/bench/bench_threads
compressors=$build/bench/bench_compressors
checksums=$build/bench/bench_checksums
record=$build/bench/bench_record
gzip=$(command -v gzip) || fail "gzip is needed for the reference rows"
tar=$(command -v tar) || fail "tar is needed for the reference rows"
cores=$(nproc)
pigz=$(command -v pigz || true)
[ -n "$pigz" ] || say "bench: pigz is missing and cannot be installed here: its rows are skipped"
zip=$(command -v zip || true)
unzip=$(command -v unzip || true)
zstd=$(command -v zstd || true)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kistle-bench.XXXXXX")
places=() # more scratch directories, for the trees in memory and on the disk
cleanup() { rm -rf "$scratch" "${places[@]}"; }
trap cleanup EXIT
export TMPDIR=$scratch # where the creator keeps its temporary data file
cd "$scratch"

fs_type() { stat -f -c %T "$1"; }

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

mib=$((1 << 20))
arg_max=$(getconf ARG_MAX)

# The 64 MiB file: text, binaries and random bytes.
make_big() {
    [ -e "$scratch/big.bin" ] && return 0
    compressed_suffixes=(! -name '*.gz' ! -name '*.xz' ! -name '*.bz2' ! -name '*.zst'
        ! -name '*.png' ! -name '*.jpg' ! -name '*.svgz')
    {
        files_below /usr/include | take $((20 * mib))
        files_below /usr/share "${compressed_suffixes[@]}" | take $((20 * mib))
        files_below /usr/lib -maxdepth 2 -name '*.so*' | take $((16 * mib))
        head -c $((8 * mib)) /dev/urandom
    } >big.bin
}

# A tree of real files with short, plain names (the dialogue reads one a line).
make_tree() {
    [ -d "$scratch/tree" ] && return 0
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
    arg_bytes=$(($(wc -c <tree.names) + $(env | wc -c) + ${#scratch} + 4096))
    [ "$arg_bytes" -lt "$arg_max" ] || fail "the tree's names need $arg_bytes bytes, ARG_MAX is $arg_max"
}

# Everything the limit's rows need.
make_limit_data() {
    say "making the data in $scratch"
    make_big
    for _ in 1 2 3 4 5 6 7 8; do cat big.bin; done >huge.bin
    printf 'big.bin\n' >big.names
    printf 'huge.bin\n' >huge.names
    make_tree

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
}

# copy_tree SOURCE DIR NAME: a copy of SOURCE as DIR/NAME, once.
copy_tree() {
    [ -d "$2/$3" ] && return 0
    say "copying $1 to $2/$3"
    cp -a "$1" "$2/$3"
}

# How many files, MiB in them, symbolic links and directories below a directory.
tree_summary() {
    find "$1" -mindepth 1 -printf '%y %s\n' |
        awk '$1 == "f" { n++; s += $2 } $1 == "l" { l++ } $1 == "d" { d++ }
            END { printf "%d files, %.1f MiB; %d symbolic links, %d directories", n, s / 1048576, l, d }'
}

# --- measurements -------------------------------------------------------

# m NAME [bench_measure options] -- PROGRAM ARG...: one more measurement of
# NAME; NAME_s keeps the fastest run's seconds, NAME_slowest the slowest's,
# NAME_kib the largest peak resident memory, NAME_cpu the least CPU time.
m() {
    local name=$1 result seconds kib cpu
    shift
    result=$("$measure" "$@") || fail "$name failed"
    read -r seconds kib cpu <<<"$result"
    best "${name}_s" "$seconds" min
    best "${name}_slowest" "$seconds" max
    best "${name}_kib" "$kib" max
    best "${name}_cpu" "$cpu" min
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

measure_limit() {
    cd "$scratch"
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
}

# --- tables -------------------------------------------------------------

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

limit_table() {
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
}

# --- trees --------------------------------------------------------------

tree_sources=(/usr/include /usr/share/doc)
tree_copies=(include doc)

# measure_tree PLACE NAME KEY: best of 3 of every row for the copy NAME in
# the directory PLACE; the figures are named KEY_ROW.
measure_tree() {
    local place=$1 name=$2 key=$3 out=$1/out
    local cab=$place/$name.cab tgz=$place/$name.tar.gz zipped=$place/$name.zip
    local tzst=$place/$name.tar.zst
    mkdir -p "$out"
    cd "$place"
    export TMPDIR=$place
    for _ in 1 2 3; do
        m "${key}_kc" -r "$cab" -- "$kistle" create -q "$cab" "$name"
        m "${key}_pc" -r "$tgz" -- "$tar" -I pigz -cf "$tgz" "$name"
        if [ -n "$zip" ]; then
            m "${key}_zc" -r "$zipped" -- "$zip" -qry "$zipped" "$name"
        fi
        if [ -n "$zstd" ]; then
            m "${key}_sc" -r "$tzst" -- "$tar" --zstd -cf "$tzst" "$name"
        fi
        m "${key}_kx" -w "$out" -- "$kistle" extract -q -C "$out" "$cab"
        m "${key}_px" -w "$out" -- "$tar" -I pigz -xf "$tgz"
        if [ -n "$zip" ] && [ -n "$unzip" ]; then
            m "${key}_zx" -w "$out" -- "$unzip" -q "$zipped"
        fi
        if [ -n "$zstd" ]; then
            m "${key}_sx" -w "$out" -- "$tar" --zstd -xf "$tzst"
        fi
        m "${key}_kt" -- "$kistle" test "$cab"
        m "${key}_kl" -- "$kistle" list "$cab"
        m "${key}_pt" -- "$tar" -tzf "$tgz"
    done
    printf -v "${key}_kc_bytes" '%s' "$(stat -c %s "$cab")"
    printf -v "${key}_pc_bytes" '%s' "$(stat -c %s "$tgz")"
    [ -z "$zip" ] || printf -v "${key}_zc_bytes" '%s' "$(stat -c %s "$zipped")"
    [ -z "$zstd" ] || printf -v "${key}_sc_bytes" '%s' "$(stat -c %s "$tzst")"
    rm -rf "$out" && mkdir "$out"
    "$kistle" extract -q -C "$out" "$cab"
    diff -r --no-dereference "$name" "$out/$name" >/dev/null ||
        fail "$place/$name did not extract intact"
    rm -rf "$out" "$cab" "$tgz" "$zipped" "$tzst"
    export TMPDIR=$scratch
    cd "$scratch"
}

tline() { printf '%-34s %7s %7s %7s %8s %8s %6s %6s\n' "$@"; }
# trow LABEL NAME REFERENCE: wall time and its spread, CPU time, peak,
# archive size and the ratios to REFERENCE of measurement NAME; nothing if it
# was not measured.
trow() {
    local seconds=${2}_s slowest=${2}_slowest cpu=${2}_cpu kib=${2}_kib bytes=${2}_bytes
    local ref_seconds=${3}_s ref_cpu=${3}_cpu size=-
    [ -n "${!seconds:-}" ] || return 0
    [ -z "${!bytes:-}" ] || size=$(in_mib "${!bytes}")
    tline "  $1" "$(calc "printf \"%.3f\", ${!seconds}")" \
        "$(calc "printf \"%.0f%%\", 100 * (${!slowest} / ${!seconds} - 1)")" \
        "$(calc "printf \"%.3f\", ${!cpu}")" "$(in_mib "${!kib} * 1024")" "$size" \
        "$(ratio "${!seconds}" "${!ref_seconds}")" "$(ratio "${!cpu}" "${!ref_cpu}")"
}

part_trees() {
    [ -n "$pigz" ] || fail "pigz is needed for the trees' rows"
    local disk memory place i key trees_load
    local -a place_names=() place_dirs=()
    if [ "$(fs_type "$scratch")" = tmpfs ]; then
        memory=$scratch
        disk=$(mktemp -d /var/tmp/kistle-bench.XXXXXX)
        places+=("$disk")
        [ "$(fs_type "$disk")" != tmpfs ] || fail "no disk for the trees: /var/tmp is on tmpfs"
    else
        disk=$scratch
        if [ "$(fs_type /dev/shm 2>/dev/null)" = tmpfs ]; then
            memory=$(mktemp -d /dev/shm/kistle-bench.XXXXXX)
            places+=("$memory")
        else
            say "bench: /dev/shm is not tmpfs: the trees are measured on the disk only"
            memory=
        fi
    fi
    if [ -n "$memory" ]; then
        place_names+=(memory)
        place_dirs+=("$memory")
    fi
    place_names+=(disk)
    place_dirs+=("$disk")
    for place in "${place_dirs[@]}"; do
        for i in "${!tree_sources[@]}"; do
            copy_tree "${tree_sources[$i]}" "$place" "${tree_copies[$i]}"
        done
    done
    trees_load=$(cut -d ' ' -f 1-3 /proc/loadavg)
    for i in "${!tree_copies[@]}"; do
        for place in "${!place_dirs[@]}"; do
            say "measuring ${tree_sources[$i]} in ${place_names[$place]}"
            measure_tree "${place_dirs[$place]}" "${tree_copies[$i]}" \
                "${tree_copies[$i]}_${place_names[$place]}"
        done
    done

    echo "kistle against tar+pigz on real trees ($cores cores, $(date -u '+%Y-%m-%d %H:%M UTC'))"
    for i in "${!tree_sources[@]}"; do
        echo "${tree_copies[$i]}: a copy of ${tree_sources[$i]}," \
            "$(tree_summary "${place_dirs[0]}/${tree_copies[$i]}")"
    done
    [ -z "$memory" ] || echo "memory: $memory, on tmpfs"
    echo "disk: $disk, on $(fs_type "$disk"); each place holds the copies, the archives, the"
    echo "  extracted files and kistle's temporary file; a run's writes reach the disk in the"
    echo "  sync before the next run, outside its time"
    echo "time: best of 3 runs, the rows of a tree and place taken in turn; spread: slowest"
    echo "  run / best - 1; CPU: user + system time of the program and the processes it"
    echo "  waits for (pigz, zstd under tar); peak: resident memory of its largest process,"
    echo "  largest run; MiB: the archive's size; ratios: to tar -I pigz (tar -tzf for"
    echo "  reading everything back) on the same tree and place; kistle and pigz use $cores"
    echo "  threads, zip, zstd and gzip one"
    echo "load average before the trees' runs: $trees_load"
    echo
    tline "" "wall s" "spread" "CPU s" "peak MiB" "MiB" "wall x" "CPU x"
    for i in "${!tree_copies[@]}"; do
        for place in "${!place_dirs[@]}"; do
            key=${tree_copies[$i]}_${place_names[$place]}
            echo "${tree_sources[$i]}, ${place_names[$place]}"
            trow "kistle create" "${key}_kc" "${key}_pc"
            trow "tar -I pigz -cf" "${key}_pc" "${key}_pc"
            trow "zip -qry" "${key}_zc" "${key}_pc"
            trow "tar --zstd -cf" "${key}_sc" "${key}_pc"
            trow "kistle extract -C" "${key}_kx" "${key}_px"
            trow "tar -I pigz -xf" "${key}_px" "${key}_px"
            trow "unzip -q" "${key}_zx" "${key}_px"
            trow "tar --zstd -xf" "${key}_sx" "${key}_px"
            trow "kistle test" "${key}_kt" "${key}_pt"
            trow "kistle list" "${key}_kl" "${key}_pt"
            trow "tar -tzf" "${key}_pt" "${key}_pt"
        done
    done
}

# --- choices ------------------------------------------------------------

folder_sizes=(256K 1M 4M 16M 64M 0)

part_choices() {
    local python size cab i
    local -a args
    cd "$scratch"
    say "making the data in $scratch"
    make_big
    make_tree
    copy_tree /usr/include "$scratch" include
    copy_tree /usr/share/doc "$scratch" doc
    local -a sets=(big.bin tree include doc) labels=(
        "the limit's 64 MiB file" "the limit's tree of 3000 files"
        "a copy of /usr/include" "a copy of /usr/share/doc")
    python=$(find /usr/lib -maxdepth 1 -name 'python3.[0-9]*' -type d | sort -V | tail -n 1)
    if [ -n "$python" ]; then
        copy_tree "$python" "$scratch" python
        sets+=(python)
        labels+=("a copy of $python")
    fi

    echo "Choosing the compressor, the checksum and the folder size" \
        "($cores cores, $(date -u '+%Y-%m-%d %H:%M UTC'))"
    echo "load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
    for i in "${!sets[@]}"; do
        say "comparing the compressors on ${labels[$i]}"
        echo
        echo "Compressors, ${labels[$i]}:"
        "$compressors" "${sets[$i]}"
    done

    echo
    say "comparing the checksums"
    echo "Checksums, 64 MiB of pseudo-random bytes in memory:"
    "$checksums"

    say "comparing folder sizes"
    for _ in 1 2 3; do
        for size in "${folder_sizes[@]}"; do
            args=(--folder-size "$size")
            m "folder_$size" -r "folder_$size.cab" -- \
                "$kistle" create -q "${args[@]}" "folder_$size.cab" include
        done
    done
    echo
    echo "Folder sizes: kistle create --folder-size SIZE of the copy of /usr/include"
    echo "  ($(tree_summary include)),"
    echo "  on $(fs_type "$scratch"), $cores threads; time: best of 3, sizes taken in turn; spread:"
    echo "  slowest run / best - 1; CPU: user + system, least; folders: as kistle info counts them;"
    echo "  0: no limit but the folder's own (about 2 GiB), vs one: size / size with that"
    printf '%-8s %8s %12s %8s %8s %7s %8s\n' size folders bytes "vs one" "wall s" spread "CPU s"
    for size in "${folder_sizes[@]}"; do
        cab=folder_$size.cab
        local seconds=folder_${size}_s slowest=folder_${size}_slowest cpu=folder_${size}_cpu
        printf '%-8s %8s %12s %8s %8.3f %7s %8.3f\n' "$size" \
            "$("$kistle" info "$cab" | awk '$1 == "folders:" { print $2 }')" \
            "$(stat -c %s "$cab")" \
            "$(calc "printf \"%.4f\", $(stat -c %s "$cab") / $(stat -c %s folder_0.cab)")" \
            "${!seconds}" "$(calc "printf \"%.0f%%\", 100 * (${!slowest} / ${!seconds} - 1)")" \
            "${!cpu}"
    done
    rm -f folder_*.cab
}

# --- habits -------------------------------------------------------------

# One changed, one added and one deleted file in a copy of /usr/include,
# then kistle update --delete-missing against a full kistle create and
# against zip -FS of the same tree; and create piped into extract against a
# cabinet file in between. Best of 5, rows taken in turn.
part_habits() {
    local name=include cab=include.cab zipped=include.zip out=$scratch/out
    cd "$scratch"
    copy_tree /usr/include "$scratch" "$name"
    say "measuring update against create and zip -FS"
    "$kistle" create -q "$cab" "$name"
    [ -z "$zip" ] || "$zip" -qry "$zipped" "$name"
    local changed added deleted
    changed=$(find "$name" -type f -name '*.h' | LC_ALL=C sort | sed -n 100p)
    deleted=$(find "$name" -type f -name '*.h' | LC_ALL=C sort | sed -n 200p)
    added=$name/kistle-bench-added.h
    echo '/* changed */' >>"$changed"
    cp "$deleted" "$added"
    rm "$deleted"
    cp "$cab" base.cab
    [ -z "$zip" ] || cp "$zipped" base.zip
    for _ in 1 2 3 4 5; do
        m habit_create -r full.cab -- "$kistle" create -q full.cab "$name"
        cp base.cab "$cab"
        m habit_update -- "$kistle" update -q --delete-missing "$cab" "$name"
        if [ -n "$zip" ]; then
            cp base.zip "$zipped"
            m habit_zipfs -- "$zip" -qryFS "$zipped" "$name"
        fi
    done
    "$kistle" test "$cab" >/dev/null || fail "the updated cabinet does not test sound"
    "$kistle" list "$cab" | grep -qx "$added" || fail "update did not add $added"
    say "measuring create - | extract - against a file in between"
    mkdir -p "$out"
    for _ in 1 2 3 4 5; do
        m habit_pipe -w "$out" -- /bin/sh -c \
            "'$kistle' create -q -C '$scratch' - '$name' | '$kistle' extract -q -"
        m habit_file -w "$out" -- /bin/sh -c "'$kistle' create -q -C '$scratch' '$scratch/piped.cab' \
            '$name' && '$kistle' extract -q '$scratch/piped.cab'"
    done
    diff -r --no-dereference "$name" "$out/$name" >/dev/null ||
        fail "$name did not come through the pipe intact"

    echo "Habits on a copy of /usr/include ($(tree_summary "$name")),"
    echo "  on $(fs_type "$scratch"), $cores threads; time: best of 5, rows taken in turn;"
    echo "  one file changed, one added, one deleted before update and zip -FS"
    tline "" "wall s" spread "CPU s" "peak MiB" "MiB" "time" "CPU"
    trow "kistle create (full)" habit_create habit_create
    trow "kistle update --delete-missing" habit_update habit_create
    trow "zip -FS" habit_zipfs habit_create
    echo "  update / create: $(ratio "$habit_update_s" "$habit_create_s") (target 0.10 or less)"
    if [ -n "$zip" ]; then
        echo "  update / zip -FS: $(ratio "$habit_update_s" "$habit_zipfs_s") (target 1.00 or less)"
    fi
    trow "create - | extract -" habit_pipe habit_file
    trow "create FILE && extract FILE" habit_file habit_file
    rm -rf "$out" "$name" ./*.cab ./*.zip
}

# --- record -------------------------------------------------------------

part_record() {
    cd "$scratch"
    make_big
    make_tree
    say "measuring the record's cost"
    echo "The record's cost: kistle::writer plain and with its record, zlib 6, one folder"
    echo "  at its limit, one thread; extract_all into an empty directory; best of 5 on"
    echo "  $(fs_type "$scratch"), rows taken in turn; CPU cost: record / plain - 1"
    "$record" -r 5 big.bin tree
}

# --- sets ---------------------------------------------------------------

count() { echo $#; }

part_sets() {
    [ -n "$pigz" ] || fail "pigz is needed for the sets' rows"
    local out=$scratch/out d sets_load
    say "measuring sets"
    cd "$scratch"
    # Zeros but for its ends, as a disk image that is mostly empty.
    truncate -s 5G vm.img
    printf head | dd of=vm.img conv=notrunc status=none
    printf tail | dd of=vm.img bs=1 seek=$(((5 << 30) - 4)) conv=notrunc status=none
    for ((d = 0; d < 70; ++d)); do
        mkdir -p "many/d$d"
        (cd "many/d$d" && seq 1000 | awk '{ f = "f" $1; printf "%s %s\n", f, $1 * 7919 > f; close(f) }')
    done
    mkdir -p "$out"
    sets_load=$(cut -d ' ' -f 1-3 /proc/loadavg)
    for _ in 1 2 3; do
        m sets_big_kc -r big.cab -- "$kistle" create -q big.cab vm.img
        m sets_big_pc -r big.tar.gz -- "$tar" -I pigz -cf big.tar.gz vm.img
        m sets_big_kt -- "$kistle" test big.cab
        m sets_big_kr -- "$kistle" cat big.cab vm.img
        m sets_big_pt -- "$tar" -tzf big.tar.gz
        m sets_many_kc -r many.cab -- "$kistle" create -q many.cab many
        m sets_many_pc -r many.tar.gz -- "$tar" -I pigz -cf many.tar.gz many
        m sets_many_kx -w "$out" -- "$kistle" extract -q -C "$out" "$scratch/many.cab"
        m sets_many_px -w "$out" -- "$tar" -I pigz -xf "$scratch/many.tar.gz"
        m sets_many_kt -- "$kistle" test many.cab
        m sets_many_pt -- "$tar" -tzf many.tar.gz
    done
    # Read through trow, by name.
    for d in big many; do
        printf -v "sets_${d}_kc_bytes" '%s' "$(cat "$d"*.cab | wc -c)"
        printf -v "sets_${d}_pc_bytes" '%s' "$(stat -c %s "$d.tar.gz")"
    done
    "$kistle" test big.cab >/dev/null || fail "the 5 GiB file did not read back"
    echo "Sets: what one cabinet cannot hold, against tar with pigz ($cores cores," \
        "$(date -u '+%Y-%m-%d %H:%M UTC'))"
    echo "vm.img: 5 GiB, sparse (zeros but for its ends): $(count big*.cab) cabinets;" \
        "many: 70,000 files in 70 directories: $(count many*.cab) cabinets; on" \
        "$(fs_type "$scratch")"
    echo "time: best of 3; spread, CPU, peak and ratios as for the trees (kistle cat: to"
    echo "  tar -tzf, which reads everything back too); MiB: all the set's cabinets"
    echo "load average before the runs: $sets_load"
    echo
    tline "" "wall s" "spread" "CPU s" "peak MiB" "MiB" "wall x" "CPU x"
    echo "5 GiB sparse file"
    trow "kistle create" sets_big_kc sets_big_pc
    trow "tar -I pigz -cf" sets_big_pc sets_big_pc
    trow "kistle test" sets_big_kt sets_big_pt
    trow "kistle cat >/dev/null" sets_big_kr sets_big_pt
    trow "tar -tzf" sets_big_pt sets_big_pt
    echo "70,000 files"
    trow "kistle create" sets_many_kc sets_many_pc
    trow "tar -I pigz -cf" sets_many_pc sets_many_pc
    trow "kistle extract -C" sets_many_kx sets_many_px
    trow "tar -I pigz -xf" sets_many_px sets_many_px
    trow "kistle test" sets_many_kt sets_many_pt
    trow "tar -tzf" sets_many_pt sets_many_pt
    rm -rf vm.img many big*.cab many*.cab big.tar.gz many.tar.gz "$out"
}

# --- run ----------------------------------------------------------------

if want limit; then
    make_limit_data
    measure_limit
    limit_table
fi
if want trees; then
    want limit && echo
    part_trees
fi
if want choices; then
    { want limit || want trees; } && echo
    part_choices
fi
if want habits; then
    { want limit || want trees || want choices; } && echo
    part_habits
fi
if want record; then
    { want limit || want trees || want choices || want habits; } && echo
    part_record
fi
if want sets; then
    { want limit || want trees || want choices || want habits || want record; } && echo
    part_sets
fi
echo
echo "bench: $parts took $((SECONDS / 60)) min $((SECONDS % 60)) s"
