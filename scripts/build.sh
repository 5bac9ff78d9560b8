#!/bin/sh
# Configures and builds into build/ (or the folder given) with Ninja.
# Further arguments go to CMake's configure step.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir"
