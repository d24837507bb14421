#!/usr/bin/env bash
# Builds the benchmarks and measures rorezuredi against its floors (xmlwf,
# the log's size, veltctl batch, a null subscriber, the log's own times),
# then prints one table. Installs missing packages first. Takes a few
# minutes; everything it starts is stopped and removed when it ends.
# Extra arguments go to tool_bench: --events N (default 1000000), --runs R (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps

jobs=$(nproc)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROREZUREDI_BENCH=ON -DROREZUREDI_TESTS=OFF
cmake --build build-bench -j"$jobs" --target tool_bench
build-bench/bin/tool_bench "$@"
