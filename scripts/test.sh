#!/usr/bin/env bash
# Builds everything and runs every test. Installs missing packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_deps

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300
