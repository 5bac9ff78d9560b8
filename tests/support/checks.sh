# Sourced by shell tests: check DESCRIPTION COMMAND... runs COMMAND and counts
# it in passes or failures, naming a failure on standard error.

passes=0
failures=0

check() {
    description=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        echo "FAILED: $description" >&2
    fi
}
