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
