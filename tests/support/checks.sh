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

# expect DESCRIPTION ACTUAL WANTED: a check that the two texts are the same, said either way
# on standard output.
expect() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}

# all_checks_passed NAME: says so when no check failed; its status is the test's.
all_checks_passed() {
    [ "$failures" -eq 0 ] && echo "$1: all checks passed"
    [ "$failures" -eq 0 ]
}

# report_failure_context FILE...: after failed checks, the end of each file
# given (logs) and the spool tree, on standard error.
report_failure_context() {
    [ "$failures" -eq 0 ] && return 0
    for log in "$@"; do
        [ -f "$log" ] || continue
        echo "--- $log" >&2
        tail -n 40 "$log" >&2
    done
    find /var/spool/ZEKPrinter -ls >&2
}

# require TOOL...: skips the test (status 77) when one of them is missing.
require() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "skipped: $tool is missing" >&2; exit 77; }
    done
}
