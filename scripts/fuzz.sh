#!/usr/bin/env bash
# Builds the fuzz targets (clang, the fuzz preset) and runs each for a fixed time, SECONDS each
# (default 30), on its seed corpus in tests/fuzz/corpus. Fails on any crash, leak or sanitizer
# report; the input that caused it is left in build/fuzz/artifacts/ and belongs, once the fault
# is mended, in the target's corpus as a regression case. Prints the executions each target ran.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Absolute paths: the command dispatch target works in a computer root of its own.
artifacts=$PWD/build/fuzz/artifacts
mkdir -p "$artifacts"
status=0
for target in fuzz_line_reader fuzz_dispatch fuzz_filter_text fuzz_regfile fuzz_packet fuzz_ini; do
    # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
    scratch=$(mktemp -d -t "zantor-$target-XXXXXX")
    log="$artifacts/$target.log"
    echo "=== fuzz: $target for $seconds s"
    if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$PWD/build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -max_len=4096 -timeout=20 -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-" \
        "$scratch" "$PWD/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz: $target ran ${runs:-?} executions, no failure"
    else
        echo "fuzz: $target FAILED; the last lines of $log:"
        tail -n 40 "$log"
        status=1
    fi
    rm -rf "$scratch"
done
exit $status
