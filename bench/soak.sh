#!/usr/bin/env bash
# Soak of capture and replay under a writer at full speed (not a test; not
# run by CI). Takes several minutes at the default size.
#
#  1. Captures EVENTS events that `veltctl batch` writes as fast as it can,
#     replays the log into a fresh store and compares the two stores' dumps.
#     Prints events per second and the peak memory of capture and of replay.
#  2. RUNS more captures under the same load, each stopped by a random
#     termination signal at a random moment, and replays every log.
#
# Usage: bench/soak.sh [EVENTS (default 10000000)] [RUNS (default 5)]
# BUILD_DIR (default build-soak) is where the programs are built; WRITER_NICE
# (default 0: the writer at the same priority as capture) lowers the
# writer's priority. Everything started is stopped, and the work directory
# removed, when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps time

events=${1:-10000000}
runs=${2:-5}
build=${BUILD_DIR:-build-soak}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROREZUREDI_BENCH=ON -DROREZUREDI_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target rorezuredi veltd veltctl loggen >/dev/null
bin=$(realpath "$build/bin")

work=$(mktemp -d /tmp/rrz-soak-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

declare -A store_pid
# start_store NAME: a private veltd on $work/NAME.sock, answering when it returns.
start_store() {
    "$bin/veltd" --socket "$work/$1.sock" 2>"$work/$1.veltd.err" &
    store_pid[$1]=$!
    pids+=($!)
    until VELT_SOCKET="$work/$1.sock" "$bin/veltctl" ping >/dev/null 2>&1; do sleep 0.05; done
}

stop_store() {
    kill -TERM "${store_pid[$1]}" 2>/dev/null || true
    wait "${store_pid[$1]}" 2>/dev/null || true
}

# calc EXPR: floating-point arithmetic.
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

pending() { VELT_SOCKET="$work/$1.sock" "$bin/veltctl" status | awk '$1 == "pending" { print $2 }'; }

# start_capture STORE LOG: rorezuredi -f LOG under /usr/bin/time, in the
# background ($capture_pid is the tool's own pid); returns once its
# termination handlers are installed, that is once it is subscribed.
start_capture() {
    VELT_SOCKET="$work/$1.sock" /usr/bin/time -v -o "$2.time" "$bin/rorezuredi" -f "$2" 2>"$2.err" &
    time_pid=$!
    pids+=("$time_pid")
    capture_pid=""
    while [ -z "$capture_pid" ]; do
        capture_pid=$(pgrep -P "$time_pid" || true)
        sleep 0.01
    done
    # SIGHUP, SIGINT, SIGQUIT and SIGTERM caught: bits 0, 1, 2 and 14.
    until ! kill -0 "$capture_pid" 2>/dev/null || [ -r "/proc/$capture_pid/status" ] &&
        (($(printf '%d' "0x$(awk '/^SigCgt/ { print $2 }' "/proc/$capture_pid/status")") & 0x4007)); do
        sleep 0.01
    done
}

peak_kib() { awk -F': *' '/Maximum resident set size/ { print $2 }' "$1"; }

echo "generating $events events"
"$bin/loggen" --events "$events" "$work/gen.xml" "$work/load.batch"
rm "$work/gen.xml"

# ---- 1: the whole load, captured, replayed, compared ------------------------
start_store source
start_capture source "$work/full.xml"
t0=$(date +%s.%N)
VELT_SOCKET="$work/source.sock" nice -n "${WRITER_NICE:-0}" "$bin/veltctl" batch "$work/load.batch" &
writer=$!
pids+=("$writer")
# A capture that falls too far behind is cut off by the store: note when.
cut_at=""
while kill -0 "$writer" 2>/dev/null; do
    [ -n "$cut_at" ] || kill -0 "$capture_pid" 2>/dev/null || cut_at=$(calc "$(date +%s.%N) - $t0")
    sleep 0.1
done
wait "$writer"
while [ "$(pending source)" != 0 ]; do sleep 0.02; done
t1=$(date +%s.%N)
kill -INT "$capture_pid" 2>/dev/null || echo "capture ended by itself ${cut_at:+after $cut_at s} before the load was taken"
capture_status=0
wait "$time_pid" || capture_status=$?
captured=$(grep -c '<event ' "$work/full.xml" 2>/dev/null || true)

start_store target
replay_status=0
VELT_SOCKET="$work/target.sock" /usr/bin/time -v -o "$work/replay.time" \
    "$bin/rorezuredi" -l "$work/full.xml" >/dev/null 2>"$work/replay.err" || replay_status=$?
VELT_SOCKET="$work/source.sock" "$bin/veltctl" dump >"$work/source.dump"
VELT_SOCKET="$work/target.sock" "$bin/veltctl" dump >"$work/target.dump"
cmp -s "$work/source.dump" "$work/target.dump" && same=equal || same=DIFFERENT
((capture_status == 0)) || same="not comparable (capture failed)"

echo
echo "run 1: $events events of load sent by veltctl batch; the log holds $captured events (node events of leaf batches are left out)"
printf '  events per second (writer start to last batch taken): %.0f (%.1f s)\n' \
    "$(calc "$events / ($t1 - $t0)")" "$(calc "$t1 - $t0")"
echo "  capture: status $capture_status, peak RSS $(peak_kib "$work/full.xml.time") KiB, log $(stat -c %s "$work/full.xml" 2>/dev/null || echo "(removed)") bytes $(cat "$work/full.xml.err")"
echo "  replay:  status $replay_status, peak RSS $(peak_kib "$work/replay.time") KiB $(cat "$work/replay.err")"
echo "  dumps: $same ($(wc -l <"$work/source.dump") lines)"
stop_store source
stop_store target

# ---- 2: captures stopped by a signal at random moments ------------------------
echo
echo "run 2: $runs captures stopped by a termination signal at a random moment"
signals=(HUP INT QUIT TERM)
failed=0
for ((i = 1; i <= runs; i++)); do
    store="s$i"
    start_store "$store"
    log="$work/stopped-$i.xml"
    start_capture "$store" "$log"
    VELT_SOCKET="$work/$store.sock" nice -n "${WRITER_NICE:-0}" "$bin/veltctl" batch "$work/load.batch" >/dev/null 2>&1 &
    writer=$!
    pids+=("$writer")
    delay_ms=$((RANDOM % 5000 + 100))
    sig=${signals[RANDOM % 4]}
    sleep "$(calc "$delay_ms / 1000")"
    kill -"$sig" "$capture_pid" 2>/dev/null || true
    status=0
    wait "$time_pid" || status=$?
    kill -KILL "$writer" 2>/dev/null || true
    wait "$writer" 2>/dev/null || true
    stop_store "$store"

    start_store "t$i"
    rstatus=0
    VELT_SOCKET="$work/t$i.sock" "$bin/rorezuredi" -l "$log" >/dev/null 2>"$log.replay.err" || rstatus=$?
    stop_store "t$i"
    ((status == 0 && rstatus == 0)) || failed=$((failed + 1))
    echo "  run $i: SIG$sig after ${delay_ms} ms: capture status $status, $(grep -c '<event ' "$log" || true) events," \
        "peak RSS $(peak_kib "$log.time") KiB; replay status $rstatus $(cat "$log.err" "$log.replay.err")"
    rm -f "$log"
done
echo "  $((runs - failed)) of $runs logs captured and replayed with status 0"
