#!/bin/sh
# Builds the libFuzzer targets in build-fuzz inside the worktree and runs each for the given
# number of seconds (default 60) from a scratch copy of its seed corpus, one after the other;
# fails on the first target that finds a crash, a leak or a broken invariant. Needs clang++,
# libFuzzer (libclang-rt-14-dev) and the Qt packages, nothing else.
# Usage: fuzz/run.sh [seconds] [target...]   (targets: receive icfreader hextext telnet clifiles)
set -eu

seconds=${1:-60}
[ $# -gt 0 ] && shift
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${REPLIX_FUZZ_BUILD_DIR:-$source_dir/build-fuzz}
case $build_dir in
    /*) ;;
    *) build_dir=$(pwd)/$build_dir ;;  # the runs happen in a scratch folder
esac

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DREPLIX_FUZZ=ON >/dev/null
targets=${*:-receive icfreader hextext telnet}
# The command-line tool's target exists only in a tree that has the tool's file commands.
[ $# -eq 0 ] && [ -f "$source_dir/fuzz/fuzz_clifiles.cpp" ] && [ -d "$source_dir/cli" ] \
    && targets="$targets clifiles"
for target in $targets; do
    cmake --build "$build_dir" --target "fuzz_$target"
done

# AddressSanitizer holds 256 MB of freed blocks back by default; 64 MB still outlasts a run by far
# (a use after free within one input is caught as before) and keeps a long run's memory and
# speed level. It also records the stack at every allocation and free, which costs the targets
# that build many small byte strings a third or more of their time: here it records none. A
# fault is still found and its report still shows where the bad access happened; only the
# stacks of the block's allocation and free are left out (run the reproducer alone with
# ASAN_OPTIONS= for them). The caller's own ASAN_OPTIONS win.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64:malloc_context_size=0}
export ASAN_OPTIONS

# The targets write scratch files in most runs; memory is faster and spares the disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=/dev/shm
    export TMPDIR
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/replix-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

status=0
for target in $targets; do
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/artifacts"
    # Only the seeds: reproducers of faults (crash-*) would stop the run at once.
    find "$source_dir/fuzz/corpus/$target" -maxdepth 1 -type f ! -name 'crash-*' \
        -exec cp {} "$scratch/$target/corpus/" \;
    dict=
    case $target in
        receive) max_len=6000 dict=$source_dir/fuzz/receive.dict ;;
        icfreader) max_len=4096 ;;
        hextext) max_len=4200 ;;   # past a frame's 4096 bytes, where the collector overflows
        clifiles) max_len=8192 ;;
        telnet) max_len=2048 ;;
    esac
    echo "== fuzz_$target for $seconds s, $(uptime)"
    if ! (cd "$scratch/$target" && QT_QPA_PLATFORM=offscreen "$build_dir/fuzz/fuzz_$target" \
            -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$scratch/$target/artifacts/" -print_final_stats=1 \
            ${dict:+"-dict=$dict"} corpus 2>"$scratch/$target/log"); then
        tail -n 60 "$scratch/$target/log"
        mkdir -p "$build_dir/fuzz/artifacts"
        cp "$scratch/$target/artifacts/"* "$build_dir/fuzz/artifacts/" 2>/dev/null || true
        echo "fuzz_$target FAILED; reproducers copied to $build_dir/fuzz/artifacts/"
        status=1
    else
        grep -E '^(stat::|#[0-9]+ *DONE)' "$scratch/$target/log" || true
    fi
    mkdir -p "$build_dir/fuzz/logs"
    cp "$scratch/$target/log" "$build_dir/fuzz/logs/fuzz_$target.log"
done
exit $status
