#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a while, starting
# from the seed corpus in fuzz/corpus/<target>/.  New inputs go to a scratch
# corpus outside the source tree; a crash leaves its input under
# $BUILD/artifacts and makes the script fail.
#
#   scripts/fuzz.sh [seconds-per-target]     (default 20; 0 = run the seeds once)
#   FUZZ_BUILD=dir  build directory           (default build-fuzz)
#   FUZZ_TARGETS="fuzz_kiss ..."              (default: every fuzz/*.cpp)
#   FUZZ_BUILD_ONLY=1                         build the targets, run nothing
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_PER_TARGET=${1:-20}
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
TARGETS=${FUZZ_TARGETS:-$(cd "$ROOT/fuzz" && ls *.cpp | sed 's/\.cpp$//')}

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DHARVOX_FUZZ=ON \
  -DHARVOX_TESTS=OFF -DHARVOX_BENCH=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j2 --target $TARGETS
[ -z "${FUZZ_BUILD_ONLY:-}" ] || exit 0

mkdir -p "$BUILD/artifacts"
status=0
for target in $TARGETS; do
  scratch=$(mktemp -d)
  seeds="$ROOT/fuzz/corpus/$target"
  [ -d "$seeds" ] || seeds=""
  echo "== $target: ${SECONDS_PER_TARGET}s"
  limit="-max_total_time=$SECONDS_PER_TARGET"
  [ "$SECONDS_PER_TARGET" = 0 ] && limit="-runs=0"
  # shellcheck disable=SC2086
  if ! "$BUILD/fuzz/$target" $limit -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" \
      "$scratch" $seeds >"$BUILD/$target.log" 2>&1; then
    echo "== $target FAILED; see $BUILD/$target.log and $BUILD/artifacts/"
    tail -n 30 "$BUILD/$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$BUILD/$target.log" || true
  fi
  rm -rf "$scratch"
done
exit $status
