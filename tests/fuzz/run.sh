#!/bin/bash
# Builds the fuzz targets (fuzz preset, clang with libFuzzer) if needed and
# runs each for SECONDS, starting from its seed corpus in corpus/<target>/.
# Prints, per target, the executions and the crashes found; exits 1 when any
# target crashed. New inputs go to build/fuzz/corpus/<target>/ and crash
# inputs to build/fuzz/artifacts/, never into the seed corpus.
#
#   tests/fuzz/run.sh 20     # the continuous integration's short run
#   tests/fuzz/run.sh 3600   # a long run: an hour per target
set -uo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:?usage: tests/fuzz/run.sh SECONDS}"
targets="options tokenize_flags fd_list read_record"

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 >/dev/null || {
    echo "fuzz: the build failed"
    exit 1
}

status=0
for target in $targets; do
    work="build/fuzz/corpus/$target"
    artifacts="build/fuzz/artifacts/$target"
    log="build/fuzz/$target.log"
    mkdir -p "$work" "$artifacts"
    # The first corpus folder receives new inputs; the seeds are only read.
    build/fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1
    result=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    crashes=$(find "$artifacts" -type f | wc -l)
    echo "fuzz $target: ${executions:-?} executions in ${seconds} s, $crashes crashes"
    if [ "$result" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        status=1
        tail -n 40 "$log"
    fi
done
exit "$status"
