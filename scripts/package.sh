#!/usr/bin/env bash
# Builds the Debian package build-pkg/harvox_1.20.00_<arch>.deb (installs
# the build packages first when they are missing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The service package is headless: no desktop libraries on a node's Pi.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DHARVOX_TESTS=OFF -DHARVOX_BENCH=OFF \
  -DHARVOX_TRAY=OFF >/dev/null
cmake --build build-pkg -j"$(nproc)" --target harvox
(cd build-pkg && cpack -G DEB >/dev/null)
ls build-pkg/harvox_1.20.00_*.deb
