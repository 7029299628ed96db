#!/usr/bin/env bash
# Installs, builds and runs every test: the normal build and the sanitizer
# build, unit and end-to-end (direwolf) tests alike.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh --asan
echo "== built (at ${SECONDS} s) =="
# The package and fuzz builds only need the CPU, while the end-to-end and
# desktop tests mostly wait on real time (radio audio, timers): build the
# former in the background meanwhile.  Their own steps below build again,
# which is then a quick no-op, and report any failure.
early_builds=$(mktemp)
( if [ "$(id -u)" -eq 0 ]; then nice -n 10 scripts/package.sh; fi
  FUZZ_BUILD_ONLY=1 nice -n 10 scripts/fuzz.sh ) >"$early_builds" 2>&1 &
early_pid=$!
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for dir in build build-asan; do
  echo "== tests in $dir (at ${SECONDS} s) =="
  (cd "$dir" && ctest --output-on-failure -j2 -LE 'e2e|desktop|soak') || status=1
  (cd "$dir" && ctest --output-on-failure -L e2e) || status=1
  # Once more with the services on one shared engine connection ([AGW]
  # SHARED=YES), in the normal build only (about 2 minutes).
  if [ "$dir" = build ]; then
    echo "== end-to-end tests in $dir, shared engine connection (at ${SECONDS} s) =="
    (cd "$dir" && HARVOX_E2E_SHARED=1 ctest --output-on-failure -L e2e -E SharedDirewolf) || status=1
  fi
  # The tray and the status page on a headless desktop, in the sanitizer
  # build only: the run is mostly waiting on real time (about 100 s), and
  # the sanitizers see more (skipped where the tray's packages are missing).
  if [ "$dir" = build-asan ]; then
    if grep -q '^HARVOX_GTK_FOUND:INTERNAL=1' "$dir/CMakeCache.txt"; then
      (cd "$dir" && ctest --output-on-failure -L desktop) || status=1
    else
      echo "desktop test skipped: this build has no tray (GTK 3 / ayatana-appindicator3 missing)"
    fi
  fi
done
wait "$early_pid" || echo "(the early package or fuzz build failed; its step below says why)"
rm -f "$early_builds"
# The soak run: 2 minutes of mixed load and engine faults, in the sanitizer
# build only (build-asan/tests/harvox_soak SECONDS runs it by hand; 10 min by default).
echo "== soak (2 minutes, ASan+UBSan; at ${SECONDS} s) =="
(cd build-asan && ctest --output-on-failure -L soak) || status=1
# The Debian package: built, installed, checked, run and removed (as root,
# as CI runs; elsewhere it would change the machine, so it is left out).
echo "== Debian package (at ${SECONDS} s) =="
if [ "$(id -u)" -eq 0 ]; then
  scripts/package-test.sh || status=1
else
  echo "package test skipped: it installs a package and needs root"
fi
# Every fuzz target replays its seed corpus, then fuzzes for 10 seconds.
echo "== fuzz targets (seeds, then 10 s each; at ${SECONDS} s) =="
scripts/fuzz.sh 10 || status=1
echo "== all done in ${SECONDS} s (status $status) =="
exit $status
