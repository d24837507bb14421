#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan and runs every test there. Any sanitizer report, from a test
# process or from any program a test starts (rorezuredi, veltd, veltctl),
# fails the run: each report aborts its process and is also kept in a report
# file that is checked once the tests are done, so that a report from a
# process whose status no test looks at (a daemon being stopped) still counts.
#
#   scripts/sanitize.sh [extra ctest arguments, e.g. -R Replay]
#
# BUILD_DIR overrides the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps

build=${BUILD_DIR:-build-asan}
jobs=$(nproc)
started=$(date +%s)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROREZUREDI_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$jobs"
built=$(date +%s)

reports=$(mktemp -d /tmp/rorezuredi-sanitize.XXXXXX)
trap 'rm -rf "$reports"' EXIT

# The runtime's own handlers for SIGSEGV, SIGBUS and SIGFPE stay off: the
# tests check which signals the programs catch. Such a fault still kills the
# process, and the test that started it fails.
common="halt_on_error=1:abort_on_error=1:print_stacktrace=1:symbolize=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="$common:log_path=$reports/ubsan"
export LSAN_OPTIONS="print_suppressions=0:suppressions=$(pwd)/scripts/lsan.supp"

status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 "$@" || status=$?
finished=$(date +%s)

shopt -s nullglob
found=("$reports"/*)
if ((${#found[@]})); then
    echo "Sanitizer reports (${#found[@]}):"
    for f in "${found[@]}"; do
        echo "==== $(basename "$f")"
        cat "$f"
    done
    status=1
fi

echo "sanitize: build $((built - started)) s, tests $((finished - built)) s, status $status"
exit "$status"
