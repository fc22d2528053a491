#!/usr/bin/env bash
# Builds the fuzzers of the frame reader, the descriptor reader, recordings
# shown in place and tesseline-import's stack reader with clang, writes their seeds, and runs
# each for SECONDS (60 unless given), as many at a time as there are cores.  Any crash,
# leak, hang, or report of a sanitizer fails the run; its input is kept in
# BUILD_DIR/findings.  Folders given after SECONDS are read as further frame
# seeds.  Usage: scripts/fuzz.sh [BUILD_DIR [SECONDS [FRAME_SEEDS...]]]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-fuzz}
seconds=${2:-60}
shift 2 || shift $#

"$root/scripts/setup.sh" "$build" -DCMAKE_CXX_COMPILER=clang++ -DTESSELINE_FUZZ=ON

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$root/tests/fuzz/seeds.sh" "$build" "$work/seeds"
mkdir -p "$build/findings"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# One fuzzer: its summary goes to BUILD_DIR/fuzz-TARGET.summary, and a
# failure leaves BUILD_DIR/fuzz-TARGET.failed.
fuzz() {
    local target=$1
    shift
    local seeds=("$work/seeds/$target")
    [ "$target" = frame ] && seeds+=("$@")
    # Recordings are shown from the stacks the importer reads.
    [ "$target" = recording ] && seeds=("$work/seeds/import")
    local dict=$root/tests/fuzz/$target.dict
    [ "$target" = recording ] && dict=$root/tests/fuzz/import.dict
    mkdir -p "$work/corpus-$target"
    local log=$build/fuzz-$target.log summary=$build/fuzz-$target.summary
    rm -f "$build/fuzz-$target.failed"
    echo "fuzz-$target: $(find "${seeds[@]}" -type f | wc -l) seeds, $seconds s" >"$summary"
    if ! "$build/tests/fuzz/fuzz-$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -dict="$dict" -print_final_stats=1 \
            -artifact_prefix="$build/findings/$target-" "$work/corpus-$target" "${seeds[@]}" >"$log" 2>&1; then
        awk '/ERROR:|runtime error|^fuzz-(frame|descriptor|import|recording):/ { found = 1 } found && shown++ < 60' "$log" >>"$summary"
        echo "fuzz-$target: FAILED, the input is in $build/findings" >>"$summary"
        touch "$build/fuzz-$target.failed"
    fi
    local runs coverage
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    echo "fuzz-$target: ${runs:-?} executions, $coverage, $(find "$work/corpus-$target" -type f | wc -l) inputs kept" >>"$summary"
}

# As many fuzzers at a time as there are cores.
targets=(frame descriptor import recording)
jobs=$(nproc)
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
    for target in "${targets[@]:i:jobs}"; do
        fuzz "$target" "$@" &
    done
    wait
done
failed=0
passed=0
for target in "${targets[@]}"; do
    cat "$build/fuzz-$target.summary"
    if [ -e "$build/fuzz-$target.failed" ]; then
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
