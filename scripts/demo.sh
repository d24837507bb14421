#!/usr/bin/env bash
# Demo: capture a burst workload from one private store, replay it with the
# recorded timing into a second one, and show that both hold the same data.
# Installs missing packages and builds first. Leaves no process behind; a
# step that fails is named, with what capture wrote to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/deps.sh
install_deps

work=$(mktemp -d /tmp/rorezuredi-demo.XXXXXX)
pids=()
cleanup() {
    local status=$?
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if ((status)); then
        echo "demo: step \"$current_step\" failed (status $status)" >&2
        if [ -s "$work/capture.err" ]; then
            echo "capture's standard error:" >&2
            cat "$work/capture.err" >&2
        elif [ -e "$work/capture.err" ]; then
            echo "capture wrote nothing to standard error" >&2
        fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT

step() {
    current_step=$*
    printf '\n== %s\n' "$*"
}

current_step="Building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target rorezuredi rorezuredi-log veltd veltctl >/dev/null
bin=$root/build/bin

# Polls a command until it succeeds (at most about 10 s). The command runs
# afresh on every try, so a condition must be a command or function, never a
# value computed before the call.
wait_for() {
    for _ in $(seq 1 1000); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.01
    done
    echo "timed out waiting for: $*" >&2
    return 1
}

status_of() { VELT_SOCKET=$1 "$bin/veltctl" status | awk -v k="$2" '$1 == k { print $2 }'; }
# status_is SOCKET KEY VALUE: the store's status line KEY currently reads VALUE.
status_is() { [ "$(status_of "$1" "$2")" = "$3" ]; }

start_store() {
    "$bin/veltd" --socket "$1" 2>"$work/$(basename "$1").log" &
    pids+=($!)
    wait_for env VELT_SOCKET="$1" "$bin/veltctl" ping
}

step "Starting two private stores in $work"
start_store "$work/source.sock"
start_store "$work/target.sock"

step "Capturing the workload from the source store"
VELT_SOCKET=$work/source.sock "$bin/rorezuredi" -f "$work/capture.xml" 2>"$work/capture.err" &
capture_pid=$!
pids+=("$capture_pid")
wait_for status_is "$work/source.sock" subscribers 1

bursts=(demo/workload/burst-*.batch)
requests=0
for file in "${bursts[@]}"; do
    VELT_SOCKET=$work/source.sock "$bin/veltctl" batch "$file"
    requests=$((requests + $(grep -cv '^#' "$file")))
    sleep 0.2  # a quiet moment between bursts, so the log has timing to keep
done
echo "sent $requests requests in ${#bursts[@]} bursts"

# Stop only once the capture has taken every batch the store delivered.
wait_for status_is "$work/source.sock" pending 0
kill -INT "$capture_pid"
capture_status=0
wait "$capture_pid" || capture_status=$?
echo "capture stopped by SIGINT, exit status $capture_status"
[ "$capture_status" -eq 0 ]
if [ -s "$work/capture.err" ]; then
    echo "capture wrote to standard error:" >&2
    cat "$work/capture.err" >&2
fi

step "The event log, as rorezuredi-log sees it"
log=$work/capture.xml
"$bin/rorezuredi-log" check "$log"
"$bin/rorezuredi-log" info "$log" | sed -n '1,/^longest gaps/p' | sed '$d'
echo "first lines:"
head -6 "$log" | cut -c1-110
echo "events over time:"
"$bin/rorezuredi-log" timeline "$log" | sed -n '2,14p' | cut -c1-100

step "Replaying into the target store with the recorded delays (-d)"
# The progress line rewrites itself with carriage returns; show its last state.
VELT_SOCKET=$work/target.sock "$bin/rorezuredi" -l "$log" -d |
    tr '\r' '\n' | awk '/^Batch/ { last = $0; next } /^Done/ { print last } NF { print }'

step "Comparing the two stores"
VELT_SOCKET=$work/source.sock "$bin/veltctl" dump >"$work/source.dump"
VELT_SOCKET=$work/target.sock "$bin/veltctl" dump >"$work/target.dump"
printf '%-18s nodes %s, leaves %s\n' "source store" "$(status_of "$work/source.sock" nodes)" "$(status_of "$work/source.sock" leaves)"
printf '%-18s nodes %s, leaves %s\n' "target store" "$(status_of "$work/target.sock" nodes)" "$(status_of "$work/target.sock" leaves)"
if cmp -s "$work/source.dump" "$work/target.dump"; then
    echo "The two stores hold the same data ($(wc -l <"$work/source.dump") dump lines)."
else
    echo "The stores differ:" >&2
    diff "$work/source.dump" "$work/target.dump" | head -20 >&2
    exit 1
fi
