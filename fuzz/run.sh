#!/bin/sh
# Builds the three libFuzzer targets in build-fuzz inside the worktree and runs each for the
# given number of seconds (default 60) from a scratch copy of its seed corpus; fails on the
# first target that finds a crash, a leak or a broken invariant. Needs clang++, libFuzzer
# (libclang-rt-14-dev) and the Qt packages, nothing else.
set -eu

seconds=${1:-60}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${REPLIX_FUZZ_BUILD_DIR:-$source_dir/build-fuzz}
case $build_dir in
    /*) ;;
    *) build_dir=$(pwd)/$build_dir ;;  # the runs happen in a scratch folder
esac

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DREPLIX_FUZZ=ON >/dev/null
cmake --build "$build_dir" --target fuzz_receive fuzz_icfreader fuzz_hextext

# The receive target saves an image file in most runs, each synced to disk; memory is faster
# and spares the disk of a shared machine.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=/dev/shm
    export TMPDIR
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/replix-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

status=0
for target in receive icfreader hextext; do
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/artifacts"
    # Only the seeds: reproducers of faults (crash-*) would stop the run at once.
    find "$source_dir/fuzz/corpus/$target" -maxdepth 1 -type f ! -name 'crash-*' \
        -exec cp {} "$scratch/$target/corpus/" \;
    dict=
    case $target in
        receive) max_len=6000 dict=$source_dir/fuzz/receive.dict ;;
        icfreader) max_len=4096 ;;
        hextext) max_len=10000 ;;
    esac
    echo "== fuzz_$target for $seconds s"
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
        grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|#[0-9]+ *DONE)' \
            "$scratch/$target/log" || true
    fi
done
exit $status
