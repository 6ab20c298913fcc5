#!/usr/bin/env bash
# Builds and runs every test: the plain build with the Python package's
# pytest suite, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded loads under
# ThreadSanitizer (KVLZW_TSAN=0 skips them), and a short run of each
# libFuzzer target. Ends with one line: "tests: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

passed=0
failed=0
# Runs ctest in a build tree and adds its counts to the totals.
run_ctest() {
  local dir=$1 log
  log=$(mktemp)
  shift
  local status=0
  env "$@" ctest --test-dir "$dir" -j2 --output-on-failure 2>&1 | tee "$log" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) ' || true
  status=${PIPESTATUS[0]}
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
  [ "$status" -eq 0 ] && [ -n "$total" ]
}

echo "== build and test"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ok=true
run_ctest build || ok=false

echo "== python"
# Debian's interpreter, not another python3 first on PATH; the package as built.
log=$(mktemp)
status=0
PYTHONPATH=build/python /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests 2>&1 | tee "$log" || status=$?
# The summary line: "N failed, N passed, N errors in S s" (parts left out when 0).
summary=$(tail -n 1 "$log")
count() { echo "$summary" | grep -oE "[0-9]+ $1" | grep -oE '^[0-9]+' || true; }
py_passed=$(count passed)
py_failed=$(count failed)
py_errors=$(count 'errors?')
rm -f "$log"
passed=$((passed + ${py_passed:-0}))
failed=$((failed + ${py_failed:-0} + ${py_errors:-0}))
if [ "$status" -ne 0 ]; then
  ok=false
  [ -z "$py_failed$py_errors" ] && failed=$((failed + 1))
fi

echo "== sanitizers"
scripts/build.sh build-asan -DKVLZW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
run_ctest build-asan ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 || ok=false

echo "== threads"
if [ "${KVLZW_TSAN:-1}" = 1 ]; then
  if scripts/tsan.sh; then passed=$((passed + 1)); else ok=false; failed=$((failed + 1)); fi
fi

if $ok; then
  scripts/fuzz.sh "${KVLZW_FUZZ_SECONDS:-20}" || { ok=false; failed=$((failed + 1)); }
fi

echo "tests: $passed passed, $failed failed"
$ok
