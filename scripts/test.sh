#!/usr/bin/env bash
# Builds and runs every test: the plain build, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a short run of each
# libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== build and test"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build -j2 --output-on-failure

echo "== sanitizers"
scripts/build.sh build-asan -DKVLZW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j2 --output-on-failure

scripts/fuzz.sh "${KVLZW_FUZZ_SECONDS:-20}"
