#!/usr/bin/env bash
# Builds the tool and runs its main job on the sample animation it ships.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
kvlzw=build/bin/kvlzw
sample=samples/animation.gif
set -x
$kvlzw version
$kvlzw formats
$kvlzw probe "$sample"
$kvlzw info "$sample"
$kvlzw info "$sample" --page 2
pages=$($kvlzw info "$sample" --json | sed -n 's/.*"pages": \([0-9]*\).*/\1/p')
for page in $(seq 1 "$pages"); do
  $kvlzw decode "$sample" --page "$page" -o "/tmp/kvlzw-demo-page$page.png"
done
ls -l /tmp/kvlzw-demo-page*.png
# The animation as a viewer shows it: every composed frame with its delay.
$kvlzw frames "$sample" -o /tmp/kvlzw-demo-frames
$kvlzw info "$sample" --json | sed -n 's/.*"duration_ms": \([0-9]*\).*/duration \1 ms/p'
