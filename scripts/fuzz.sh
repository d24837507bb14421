#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz, replays each target's seed
# corpus, then fuzzes each target for a bounded time. A crash, leak,
# sanitizer report, out-of-memory or timeout fails the script; the input
# that caused it is left in build-fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
#
# FUZZ_RSS_MB (default 2048) and FUZZ_TIMEOUT (seconds per input, default 10)
# bound each run. New inputs found while fuzzing go to a scratch corpus under
# build-fuzz; add the interesting ones to fuzz/corpus/<target>/ by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps clang libclang-rt-14-dev

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_log_reader fuzz_frame_decoder)
rss_mb=${FUZZ_RSS_MB:-2048}
per_input=${FUZZ_TIMEOUT:-10}

cxx=$(command -v clang++-14 || command -v clang++)
build=build-fuzz
# A build directory configured with another compiler is configured afresh.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DROREZUREDI_FUZZ=ON -DROREZUREDI_SANITIZE=ON -DROREZUREDI_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:print_stacktrace=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"

status=0
summary=()
for t in "${targets[@]}"; do
    seeds=fuzz/corpus/$t
    work=$build/corpus/$t
    artifacts=$build/artifacts/$t
    mkdir -p "$work" "$artifacts"
    dict=()
    [ -f "fuzz/${t#fuzz_}.dict" ] && dict=(-dict="fuzz/${t#fuzz_}.dict")
    limits=(-rss_limit_mb="$rss_mb" -timeout="$per_input" -artifact_prefix="$artifacts/")

    echo "== $t: seed corpus"
    if ! "$build/bin/$t" "${limits[@]}" -runs=0 "$seeds" >"$build/$t.replay.log" 2>&1; then
        tail -n 60 "$build/$t.replay.log"
        echo "FAIL: $t fails on its seed corpus"
        status=1
        continue
    fi

    echo "== $t: fuzzing for $seconds s"
    log=$build/$t.fuzz.log
    rc=0
    "$build/bin/$t" "${limits[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        "$work" "$seeds" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$rc" -ne 0 ]; then
        tail -n 60 "$log"
        echo "FAIL: $t (exit $rc); inputs in $artifacts/"
        status=1
    fi
    summary+=("$t: ${runs:-?} executions in $seconds s, exit $rc")
done

printf '%s\n' "${summary[@]}"
exit "$status"
