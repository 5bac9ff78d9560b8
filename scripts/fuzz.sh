#!/bin/sh
# Builds the libFuzzer targets with clang, ASan and UBSan into build-fuzz/
# and runs each for SECONDS (default 30), starting from its corpus in the
# repository. New inputs go to build-fuzz/corpus/<target>/, never into the
# repository; an input that breaks a property is kept as
# build-fuzz/findings/<target>-crash-*.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-JobFileNameFuzzer QueryEncodingFuzzer MultipartBodyFuzzer JSONResponseFuzzer DeviceDiscoveryFuzzer}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEK_BUILD_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz --target zek_fuzzers

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build-fuzz/findings
failed=""
for target in $targets; do
    seeds=$(find fuzz -type d -path "*/corpus/$target")
    [ -n "$seeds" ] || { echo "no corpus for $target" >&2; exit 2; }
    mkdir -p "build-fuzz/corpus/$target"
    echo "== $target: ${seconds}s from $seeds"
    if ! build-fuzz/bin/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" \
        "build-fuzz/corpus/$target" "$seeds" 2>"build-fuzz/$target.log"; then
        tail -n 60 "build-fuzz/$target.log" >&2
        failed="$failed $target"
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done)' \
            "build-fuzz/$target.log" || true
    fi
done
if [ -n "$failed" ]; then
    echo "fuzzing found failing inputs in:$failed (see build-fuzz/findings/)" >&2
    exit 1
fi
