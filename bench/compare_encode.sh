#!/usr/bin/env bash
# Whole-process encode: `kvlzw encode BIG.png -o x.gif` against a minimal C
# program that reads the PNG with libpng and writes the GIF with giflib.
# Runs alternate; for each image the median and the slowest wall time and
# the median CPU time (user + system) of each side are printed with the
# ratios of the medians. The files live on tmpfs when /dev/shm is there:
# the tool syncs its output before renaming it into place and the baseline
# does not, and the disk's flush is not what is measured.
#   bench/compare_encode.sh [BUILD_DIR] [RUNS]
# The images are palette PNGs (zlib level 6, filter None, as image editors
# save them): a 3495x2577 tiling of the photograph harvesters.gif of the
# shared corpus (3 x 3 copies) and a 3840x2160 screen capture (flat panels,
# rules, a gradient bar and rows of glyph-like marks), so both sides encode
# the same indices.
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
/usr/bin/python3 - "$work/tile.png" "$work/tile.bin" "$work/photo.png" "$work/screen.png" <<'PY'
import struct, sys, zlib
png, indices, photo, screen = sys.argv[1], open(sys.argv[2], 'rb').read(), sys.argv[3], sys.argv[4]
data = open(png, 'rb').read()
chunks, at = {}, 8
while at < len(data):
    length, kind = struct.unpack('>I4s', data[at:at + 8])
    chunks.setdefault(kind, data[at + 8:at + 8 + length])
    at += 12 + length
def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
def write(path, width, height, palette, rows):
    raw = b''.join(b'\0' + row for row in rows)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 3, 0, 0, 0)))
        f.write(chunk(b'PLTE', palette))
        f.write(chunk(b'IDAT', zlib.compress(raw, 6)))
        f.write(chunk(b'IEND', b''))
width, height = struct.unpack('>II', chunks[b'IHDR'][:8])
write(photo, width * 3, height * 3, chunks[b'PLTE'],
      [indices[y * width:(y + 1) * width] * 3 for y in range(height)] * 3)
width, height = 3840, 2160
rows = []
for y in range(height):
    row = bytearray(width)
    for x in range(width):
        v = 20 if x < width // 5 else 1
        if y < 40: v = 30 + x * 64 // width
        if y % 120 == 119 or x == width // 5: v = 9
        line, column = (y - 60) % 24, x % 9
        text_area = y > 60 and width // 5 + 20 < x < width - 40 and line < 14
        if text_area and column < 7 and (x // 9 * 7 + y // 24 * 13 + line * column) % 5 == 0: v = 2
        row[x] = v
    rows.append(bytes(row))
write(screen, width, height, bytes(b for i in range(256) for b in (0, i * 3 % 256, 0)), rows)
PY

# Median and maximum of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
slowest() { sort -g | tail -n 1; }
# Appends "wall user system" seconds of one run to $1, to the millisecond
# (/usr/bin/time counts in hundredths, too coarse for runs of 0.1 s).
timed() {
  local out=$1 TIMEFORMAT='%3R %3U %3S'
  shift
  { time "$@" >/dev/null; } 2>>"$out"
}
wall() { awk '{ print $1 * 1000 }' "$1" | median; }
wall_max() { awk '{ print $1 * 1000 }' "$1" | slowest; }
cpu() { awk '{ print ($2 + $3) * 1000 }' "$1" | median; }
echo "$runs alternating runs, times in ms"
for image in photo screen; do
  : >"$work/ours"
  : >"$work/theirs"
  for _ in $(seq "$runs"); do
    timed "$work/ours" "$kvlzw" encode "$work/$image.png" -o "$work/ours.gif"
    timed "$work/theirs" "$work/compare_encode" "$work/$image.png" "$work/theirs.gif"
  done
  size=$(head -c 24 "$work/$image.png" | tail -c 8 | od -An -tu1 |
         awk '{ print ($1*16777216+$2*65536+$3*256+$4) "x" ($5*16777216+$6*65536+$7*256+$8) }')
  echo "$image: $size palette PNG"
  printf '  %-16s wall median %6s slowest %6s  cpu median %6s  %s bytes\n' "kvlzw encode" \
    "$(wall "$work/ours")" "$(wall_max "$work/ours")" "$(cpu "$work/ours")" "$(stat -c %s "$work/ours.gif")"
  printf '  %-16s wall median %6s slowest %6s  cpu median %6s  %s bytes\n' "libpng + giflib" \
    "$(wall "$work/theirs")" "$(wall_max "$work/theirs")" "$(cpu "$work/theirs")" "$(stat -c %s "$work/theirs.gif")"
  awk -v a="$(wall "$work/theirs")" -v b="$(wall "$work/ours")" -v c="$(cpu "$work/theirs")" -v d="$(cpu "$work/ours")" \
    'BEGIN { printf "  speed-up:        wall %.2fx, cpu %.2fx\n", a / b, c / d }'
done
