#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for N seconds
# (default 20), seeded from fuzz/NAME.seeds: one directory or file a line,
# relative to the repository root. An optional second argument also stops
# each target after that many executions (scripts/fuzz.sh 3600 1000000 for a
# long run). Inputs are cut at 64 KiB (KVLZW_FUZZ_MAX_LEN changes it): the
# largest seeds would otherwise make every mutation slow. Prints the
# executions of each target; the corpus found is kept in build-fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
runs_limit=${2:--1}
shopt -s nullglob
targets=(fuzz/fuzz_*.cpp)
if [ ${#targets[@]} -eq 0 ]; then
  echo "== fuzz: no targets"
  exit 0
fi
echo "== fuzz (${seconds}s per target)"
summary=()
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DKVLZW_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
for source in "${targets[@]}"; do
  name=$(basename "$source" .cpp)
  work=build-fuzz/corpus/$name
  mkdir -p "$work"
  seeds=()
  if [ -f "fuzz/${name#fuzz_}.seeds" ]; then
    while read -r seed; do
      [ -n "$seed" ] && [ -e "$seed" ] && seeds+=("$seed")
    done < "fuzz/${name#fuzz_}.seeds"
  fi
  echo "-- $name"
  log=build-fuzz/$name.log
  status=0
  ASAN_OPTIONS=detect_leaks=1 build-fuzz/bin/"$name" -max_total_time="$seconds" -runs="$runs_limit" \
    -max_len="${KVLZW_FUZZ_MAX_LEN:-65536}" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "$name: ${runs:-?} executions"
  summary+=("$name ${runs:-?}")
  [ "$status" -eq 0 ] || { tail -n 30 "$log"; echo "$name failed"; exit 1; }
done
echo "fuzz: all targets ran clean (executions: ${summary[*]})"
