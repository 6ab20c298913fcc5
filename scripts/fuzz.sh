#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for N seconds
# (default 20), seeded from fuzz/NAME.seeds: one directory or file a line,
# relative to the repository root. An optional second argument also stops
# each target after that many executions (scripts/fuzz.sh 3600 1000000 for a
# long run). Inputs are cut at 64 KiB (KVLZW_FUZZ_MAX_LEN changes it): the
# largest seeds would otherwise make every mutation slow. Prints the
# executions of each target; the corpus found is kept in build-fuzz/corpus.
# Targets run side by side, as many as there are cores (KVLZW_FUZZ_JOBS);
# KVLZW_FUZZ_ONLY=REGEX runs only the targets whose name matches;
# a finding is written to build-fuzz/ and fails the run.
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
jobs=${KVLZW_FUZZ_JOBS:-$(nproc)}
echo "== fuzz (${seconds}s per target, $jobs at a time)"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DKVLZW_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Runs one target; its log is build-fuzz/NAME.log.
run_target() {
  local name=$1 work=build-fuzz/corpus/$1 seeds=() seed
  mkdir -p "$work"
  if [ -f "fuzz/${name#fuzz_}.seeds" ]; then
    while read -r seed; do
      [ -n "$seed" ] && [ -e "$seed" ] && seeds+=("$seed")
    done < "fuzz/${name#fuzz_}.seeds"
  fi
  ASAN_OPTIONS=detect_leaks=1 build-fuzz/bin/"$name" -max_total_time="$seconds" -runs="$runs_limit" \
    -max_len="${KVLZW_FUZZ_MAX_LEN:-65536}" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$work" "${seeds[@]}" >"build-fuzz/$name.log" 2>&1
}

names=()
for source in "${targets[@]}"; do
  name=$(basename "$source" .cpp)
  [[ -n ${KVLZW_FUZZ_ONLY:-} && ! $name =~ $KVLZW_FUZZ_ONLY ]] && continue
  names+=("$name")
done
declare -A pid_of=()
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "-- $name"
  run_target "$name" &
  pid_of[$name]=$!
done

summary=()
failed=()
for name in "${names[@]}"; do
  status=0
  wait "${pid_of[$name]}" || status=$?
  log=build-fuzz/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "$name: ${runs:-?} executions"
  summary+=("$name ${runs:-?}")
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$log"
    failed+=("$name")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: ${failed[*]} failed"; exit 1; }
echo "fuzz: all targets ran clean (executions: ${summary[*]})"
