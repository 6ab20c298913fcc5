#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for N seconds
# (default 20), seeded from fuzz/NAME.seeds: one directory or file a line,
# relative to the repository root.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shopt -s nullglob
targets=(fuzz/fuzz_*.cpp)
if [ ${#targets[@]} -eq 0 ]; then
  echo "== fuzz: no targets"
  exit 0
fi
echo "== fuzz (${seconds}s per target)"
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
  ASAN_OPTIONS=detect_leaks=1 build-fuzz/bin/"$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=0 "$work" "${seeds[@]}" 2>&1 | tail -n 3
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "$name failed"; exit 1; }
done
echo "fuzz: all targets ran clean"
