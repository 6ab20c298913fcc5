#!/usr/bin/env bash
# Builds the tool, reads the sample animation it ships page by page, encodes
# the pages into a new animation and reads that back.
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
# The decoded pages become an animated GIF again, which is read back.
anim=/tmp/kvlzw-demo-animation.gif
pngs=()
for page in $(seq 1 "$pages"); do pngs+=("/tmp/kvlzw-demo-page$page.png"); done
$kvlzw encode "${pngs[@]}" -o "$anim" --loop 0 --delay 25 --disposal 1 --comment "made by the kvlzw demo"
$kvlzw info "$anim" --page 2
$kvlzw copy "$anim" -o /tmp/kvlzw-demo-copy.gif
$kvlzw decode "$sample" --page "$pages" -o /tmp/kvlzw-demo-last.bin
$kvlzw decode /tmp/kvlzw-demo-copy.gif --page "$pages" -o /tmp/kvlzw-demo-copy-last.bin
cmp /tmp/kvlzw-demo-last.bin /tmp/kvlzw-demo-copy-last.bin && echo "the last page came through with the same indices"
# The same animation from Python (the package built in build/python).
PYTHONPATH=build/python /usr/bin/python3 -c '
import kvlzw
info = kvlzw.gif.info("samples/animation.gif")
print(f"{info.page_count} pages on a {info.screen[0]}x{info.screen[1]} screen, {info.duration_ms} ms")
for frame in kvlzw.gif.Animation("samples/animation.gif"):
    print(f"frame {frame.index + 1}: {frame.image.shape} RGBA, {frame.delay_ms} ms")
'
