#!/usr/bin/env bash
# Builds everything and runs every test: formatting and clang-tidy checks,
# the test suite, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded fuzzing run of each fuzz target. Installs missing packages first.
# Every stage runs even when an earlier one fails; the run fails if any did.
#
# FUZZ_SECONDS (default 60) sets the fuzzing time per target; 0 skips fuzzing.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps clang clang-format clang-tidy libclang-rt-14-dev || exit 1

jobs=$(nproc)
results=()
failed=0

stage() {
    local name=$1
    shift
    local started rc=0 log
    started=$(date +%s)
    log=$(mktemp)
    echo "==== $name"
    "$@" 2>&1 | tee "$log" || rc=$?
    results+=("$(printf '%-12s %s (%d s)' "$name" "$([ $rc -eq 0 ] && echo passed || echo "FAILED, status $rc")" \
        $(($(date +%s) - started)))")
    # The runners' own summary lines: ctest's count, the fuzzers' executions.
    while IFS= read -r line; do results+=("             $line"); done \
        < <(grep -E '^[0-9]+% tests passed|executions in' "$log")
    rm -f "$log"
    [ $rc -eq 0 ] || failed=1
}

# Formatting of every tracked source, then clang-tidy over everything the
# g++ build compiles (the fuzz targets need clang's fuzzer flags; the fuzzing
# stage builds them with -Werror).
static_checks() {
    local fmt tidy_log warnings
    fmt=$(command -v clang-format-14 || command -v clang-format)
    find common velt tests bench fuzz -name '*.cpp' -o -name '*.h' | sort | xargs "$fmt" --dry-run --Werror || return 1
    cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DROREZUREDI_BENCH=ON >/dev/null || return 1
    tidy_log=build-tidy/clang-tidy.log
    run-clang-tidy -p build-tidy -quiet -j"$jobs" 'common/|velt/|bench/|tests/' >"$tidy_log" 2>&1 || return 1
    warnings=$(grep -c 'warning:' "$tidy_log")
    if [ "$warnings" -ne 0 ]; then
        grep -A3 'warning:' "$tidy_log"
        echo "clang-tidy: $warnings warnings"
        return 1
    fi
    echo "clang-format and clang-tidy: clean"
}

unit_and_e2e() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build -j"$jobs" &&
        ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300
}

stage static static_checks
stage tests unit_and_e2e
stage sanitizers bash scripts/sanitize.sh
[ "${FUZZ_SECONDS:-60}" -eq 0 ] || stage fuzzing bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "==== summary"
printf '%s\n' "${results[@]}"
exit $failed
