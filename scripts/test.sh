#!/bin/sh
# Sets everything up and runs every test: the full suite on a normal build,
# then the unit tests (and those labelled sanitizers) again under address and
# undefined-behaviour sanitizers, then each fuzz target for 30 seconds.
# Run as root: tests of ownership, mount namespaces and daemons need it
# (without root they are reported as skipped).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900)

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZEK_SANITIZE=ON -DZEK_BUILD_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs" -L 'unit|sanitizers' --timeout 900)

scripts/fuzz.sh 30
