#!/usr/bin/env bash
# Telnet line path, an older commit against this tree, in the same run: builds
# REF's load_telnet (default 575e15d, the first load run's code) from a copy
# of that commit under /tmp and this tree's in build-rel, runs them
# alternately RUNS times each, and prints the product thread's CPU per 1,000
# saturated lines and the saturated lines/s of each run, their medians and the
# ratio new/old.  Both load runs use the same phases and figures, so the rows
# compare like with like.  Release builds with -g (for perf; same code).
#
# Usage: bench/compare_load_telnet.sh [REF] [RUNS]   (RUNS default 3)
#   OLD_DIR   where REF is unpacked and built (default /tmp/harvox-load-REF)
#   NEW_BUILD this tree's build dir (default build-rel)
#   KEEP_LOGS a folder for every run's full output (default: not kept)
set -euo pipefail
cd "$(dirname "$0")/.."
ref=${1:-575e15d}
runs=${2:-3}
old_dir=${OLD_DIR:-/tmp/harvox-load-$ref}
new_build=${NEW_BUILD:-build-rel}
flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DHARVOX_BENCH=ON -DHARVOX_TESTS=ON)

if [ ! -f "$old_dir/CMakeLists.txt" ]; then
  mkdir -p "$old_dir"
  git archive "$ref" | tar -x -C "$old_dir"
fi
echo "== building $ref in $old_dir/build-rel and this tree in $new_build" >&2
cmake -S "$old_dir" -B "$old_dir/build-rel" "${flags[@]}" >/dev/null
cmake --build "$old_dir/build-rel" -j2 --target load_telnet >/dev/null
cmake -S . -B "$new_build" "${flags[@]}" >/dev/null
cmake --build "$new_build" -j2 --target load_telnet >/dev/null

# One run: prints "cpu_ms_per_1000 lines_per_s others_cpus".
run_one() {
  local out
  out=$("$1" 2>/dev/null) || true
  [ -n "${KEEP_LOGS:-}" ] && mkdir -p "$KEEP_LOGS" && printf '%s\n' "$out" >"$KEEP_LOGS/$2.txt"
  printf '%s\n' "$out" | awk '
    /^Baseline:/ { base = 1 }
    base { next }
    /saturated: product thread CPU per 1,000 lines/ { cpu = $(NF-1) }
    /saturated: user -> engine lines\/s/ { lps = $NF }
    /saturated: CPUs busy outside this process/ { others = $NF }
    END { printf "%s %s %s\n", cpu == "" ? "nan" : cpu, lps == "" ? "nan" : lps, others == "" ? "nan" : others }'
}

old_rows=() new_rows=()
printf '%-4s %-4s %14s %10s %14s\n' run tree "ms CPU/1k" "lines/s" "others CPUs"
for i in $(seq 1 "$runs"); do
  for which in old new; do
    if [ "$which" = old ]; then bin="$old_dir/build-rel/bench/load_telnet"; else bin="$new_build/bench/load_telnet"; fi
    row=$(run_one "$bin" "$which-$i")
    read -r cpu lps others <<<"$row"
    printf '%-4s %-4s %14s %10s %14s\n' "$i" "$which" "$cpu" "$lps" "$others"
    if [ "$which" = old ]; then old_rows+=("$row"); else new_rows+=("$row"); fi
  done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
col() { local n=$1; shift; printf '%s\n' "$@" | awk -v n="$n" '{ print $n }'; }
old_cpu=$(col 1 "${old_rows[@]}" | median) new_cpu=$(col 1 "${new_rows[@]}" | median)
old_lps=$(col 2 "${old_rows[@]}" | median) new_lps=$(col 2 "${new_rows[@]}" | median)
echo
printf 'median  old %s: %s ms CPU per 1,000 lines, %s lines/s\n' "$ref" "$old_cpu" "$old_lps"
printf 'median  new:        %s ms CPU per 1,000 lines, %s lines/s\n' "$new_cpu" "$new_lps"
awk -v o="$old_cpu" -v n="$new_cpu" -v ol="$old_lps" -v nl="$new_lps" 'BEGIN {
  printf "ratio new/old: CPU per line %.2fx (target <= 1.10x), lines/s %.2fx\n", n / o, nl / ol }'
