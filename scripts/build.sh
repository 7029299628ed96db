#!/usr/bin/env bash
# Builds Harvox: build/ (warnings on, tests, benchmarks) and, with --asan,
# build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${1:-}" = "--asan" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DHARVOX_SANITIZE=ON -DHARVOX_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
fi
