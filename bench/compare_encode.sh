#!/usr/bin/env bash
# Whole-process encode: `kvlzw encode BIG.png -o x.gif` against a minimal C
# program that reads the PNG with libpng and writes the GIF with giflib.
# Runs alternate; the median wall time and the median CPU time (user +
# system) of each are printed with the ratios. The files live on tmpfs when
# /dev/shm is there: the tool syncs its output before renaming it into place
# and the baseline does not, and the disk's flush is not what is measured.
#   bench/compare_encode.sh [BUILD_DIR] [RUNS]
# BIG.png is a palette PNG made by tiling the photograph harvesters.gif of
# the shared corpus (3 x 3 copies), so both sides encode the same indices.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-21}
kvlzw=$build/bin/kvlzw
work=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT

cc -O2 bench/compare_encode.c -o "$work/compare_encode" -lpng -lgif

source_gif=../shared/corpus/gif/wuffs/harvesters.gif
$kvlzw decode "$source_gif" -o "$work/tile.png"
$kvlzw decode "$source_gif" -o "$work/tile.bin"
python3 - "$work/tile.png" "$work/tile.bin" "$work/big.png" <<'PY'
import struct, sys, zlib
png, indices, out = sys.argv[1], open(sys.argv[2], 'rb').read(), sys.argv[3]
data = open(png, 'rb').read()
chunks, at = {}, 8
while at < len(data):
    length, kind = struct.unpack('>I4s', data[at:at + 8])
    chunks.setdefault(kind, data[at + 8:at + 8 + length])
    at += 12 + length
width, height = struct.unpack('>II', chunks[b'IHDR'][:8])
rows = [indices[y * width:(y + 1) * width] * 3 for y in range(height)] * 3
raw = b''.join(b'\0' + row for row in rows)
def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
with open(out, 'wb') as f:
    f.write(b'\x89PNG\r\n\x1a\n')
    f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', width * 3, height * 3, 8, 3, 0, 0, 0)))
    f.write(chunk(b'PLTE', chunks[b'PLTE']))
    f.write(chunk(b'IDAT', zlib.compress(raw, 6)))
    f.write(chunk(b'IEND', b''))
PY

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Appends "wall user system" seconds of one run to $1, to the millisecond
# (/usr/bin/time counts in hundredths, too coarse for runs of 0.1 s).
timed() {
  local out=$1 TIMEFORMAT='%3R %3U %3S'
  shift
  { time "$@" >/dev/null; } 2>>"$out"
}
for _ in $(seq "$runs"); do
  timed "$work/ours" "$kvlzw" encode "$work/big.png" -o "$work/ours.gif"
  timed "$work/theirs" "$work/compare_encode" "$work/big.png" "$work/theirs.gif"
done
wall() { awk '{ print $1 * 1000 }' "$1" | median; }
cpu() { awk '{ print ($2 + $3) * 1000 }' "$1" | median; }
size=$(head -c 24 "$work/big.png" | tail -c 8 | od -An -tu1 |
       awk '{ print ($1*16777216+$2*65536+$3*256+$4) "x" ($5*16777216+$6*65536+$7*256+$8) }')
echo "image: $size palette PNG, $runs alternating runs, medians in ms"
printf '%-18s wall %6s  cpu %6s  %s bytes\n' "kvlzw encode" "$(wall "$work/ours")" "$(cpu "$work/ours")" \
  "$(stat -c %s "$work/ours.gif")"
printf '%-18s wall %6s  cpu %6s  %s bytes\n' "libpng + giflib" "$(wall "$work/theirs")" "$(cpu "$work/theirs")" \
  "$(stat -c %s "$work/theirs.gif")"
awk -v a="$(wall "$work/theirs")" -v b="$(wall "$work/ours")" -v c="$(cpu "$work/theirs")" -v d="$(cpu "$work/ours")" \
  'BEGIN { printf "speed-up:          wall %.2fx, cpu %.2fx\n", a / b, c / d }'
