#!/usr/bin/env bash
# Builds the host, the component and the threaded load test with
# ThreadSanitizer and runs it: several threads loading different GIF and TIFF
# files through the host at once. Fails on any report.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== thread sanitizer"
cmake -S . -B build-tsan -G Ninja -DKVLZW_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j2 --target kvlzw_thread_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/bin/kvlzw_thread_tests
