#!/usr/bin/env bash
# Whole-process comparison: the kvlzw tool against small giflib and libtiff
# programs doing the same job on the same generated files. Runs alternate
# (tool, peer, tool, peer, ...) so that load from elsewhere hits both alike;
# each job prints both medians, the ratio peer / tool (above 1: the tool
# is faster) and each side's slowest run over its median (a side whose runs
# are steady stays near 1). Outputs are checked equal where both write the
# same bytes.
#
#   cmake -S . -B build -G Ninja -DKVLZW_BENCH=ON && cmake --build build
#   bench/compare.sh [BUILD_DIR] [RUNS]        (defaults: build, 9)
#   KVLZW_COMPARE_ONLY=GIF bench/compare.sh    only the jobs whose name matches
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-9}
bin=$build/bin
corpus=${KVLZW_CORPUS_DIR:-$PWD/../shared/corpus}
# Memory-backed by default, so that the disk's write-back does not decide
# the times of the jobs that write tens of megabytes.
scratch=${TMPDIR:-/tmp}
[[ -z ${TMPDIR:-} && -d /dev/shm ]] && scratch=/dev/shm
work=$(mktemp -d "$scratch/kvlzw-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bin/make_inputs" "$corpus" "$work"
photo_bytes=$(stat -c %s "$work/photo.bin")

# "wall cpu" seconds of one run of the command (cpu: user + system). The
# wall time is read from the shell's microsecond clock, without a subshell
# in the timed span: the jobs that take ten milliseconds need better than
# the millisecond that `time` prints.
seconds() {
    local TIMEFORMAT='%3U %3S' t0 t1
    t0=$EPOCHREALTIME
    { time "$@" >/dev/null 2>"$work/stderr"; } 2>"$work/cpu" || { cat "$work/stderr" >&2; exit 1; }
    t1=$EPOCHREALTIME
    awk -v t0="$t0" -v t1="$t1" '{ printf "%.6f %.3f\n", t1 - t0, $1 + $2 }' "$work/cpu"
}

# Median of column $1 of the input.
median() {
    awk -v c="$1" '{ print $c }' | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Largest value of column $1 of the input.
slowest() { awk -v c="$1" '{ print $c }' | sort -g | tail -n 1; }

# job NAME OURS_OUT PEER_OUT -- TOOL ARGS... -- PEER ARGS...
# OURS_OUT and PEER_OUT are compared after the runs unless PEER_OUT is "-".
job() {
    local name=$1 ours_out=$2 peer_out=$3
    [[ -n ${KVLZW_COMPARE_ONLY:-} && ! $name =~ $KVLZW_COMPARE_ONLY ]] && return 0
    shift 3
    [[ $1 == -- ]] && shift
    local tool=() peer=()
    while [[ $1 != -- ]]; do tool+=("$1"); shift; done
    shift
    peer=("$@")
    : >"$work/tool.times"
    : >"$work/peer.times"
    "${tool[@]}" >/dev/null  # warm the page cache and the loader
    "${peer[@]}" >/dev/null
    for ((i = 0; i < runs; ++i)); do
        seconds "${tool[@]}" >>"$work/tool.times"
        seconds "${peer[@]}" >>"$work/peer.times"
    done
    local t p tc pc ts ps check=""
    t=$(median 1 <"$work/tool.times")
    p=$(median 1 <"$work/peer.times")
    tc=$(median 2 <"$work/tool.times")
    pc=$(median 2 <"$work/peer.times")
    ts=$(slowest 1 <"$work/tool.times")
    ps=$(slowest 1 <"$work/peer.times")
    if [[ $peer_out != - ]]; then
        if cmp -s "$ours_out" "$peer_out"; then check="outputs equal"; else check="OUTPUTS DIFFER"; fi
    fi
    awk -v n="$name" -v t="$t" -v p="$p" -v tc="$tc" -v pc="$pc" -v ts="$ts" -v ps="$ps" -v c="$check" 'BEGIN {
        printf "%-44s kvlzw %7.4f s (slowest %7.4f s, %4.2fx)  peer %7.4f s (slowest %7.4f s, %4.2fx)  ratio %5.2fx  (cpu %5.2fx)  %s\n",
               n, t, ts, ts / t, p, ps, ps / p, p / t, pc / tc, c }'
}

kv="$bin/kvlzw"
w=$work
echo "median and slowest of $runs alternating runs in $scratch; ratio = peer / kvlzw median wall time (cpu: user + system)"
job "GIF 3000x2000 photo -> indices (giflib)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/photo.gif" -o "$w/a.bin" -- "$bin/peer_gif" "$w/photo.gif" 1 "$w/b.bin"
job "GIF page 30 of 30 x 1280x720 (giflib)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/anim.gif" --page 30 -o "$w/a.bin" -- "$bin/peer_gif" "$w/anim.gif" 30 "$w/b.bin"
job "GIF harvesters -> indices (giflib)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$corpus/gif/wuffs/harvesters.gif" -o "$w/a.bin" -- \
    "$bin/peer_gif" "$corpus/gif/wuffs/harvesters.gif" 1 "$w/b.bin"
job "lzw decompress --size of 40 MB (libtiff)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" lzw decompress "$w/photo.lzw" --size "$photo_bytes" -o "$w/a.bin" -- \
    "$bin/peer_tiff" read "$w/photo.tif" "$w/b.bin"
job "lzw compress of 40 MB (libtiff)" "$w/a.lzw" - -- \
    "$kv" lzw compress "$w/photo.bin" -o "$w/a.lzw" -- "$bin/peer_tiff" write "$w/photo.bin" 2560 "$w/b.tif"
# Every frame in true colour: the peer is DGifSlurp plus the browsers'
# composition (bench/giflib_rgba.h), writing the same bytes. "net" takes off
# both sides the time of writing that many frames alone (peer_frames
# --write-only), the median of its own runs.
frames_job() {
    local name=$1 gif=$2 w_h_n=$3
    [[ -n ${KVLZW_COMPARE_ONLY:-} && ! $name =~ $KVLZW_COMPARE_ONLY ]] && return 0
    rm -rf "$w/fa" "$w/fb" "$w/fz" && mkdir -p "$w/fa" "$w/fb" "$w/fz"
    local tool=("$kv" frames "$gif" -o "$w/fa" --format bin) peer=("$bin/peer_frames" "$gif" "$w/fb")
    local alone=("$bin/peer_frames" --write-only $w_h_n "$w/fz")
    "${tool[@]}" >/dev/null
    "${peer[@]}" >/dev/null
    : >"$work/tool.times"
    : >"$work/peer.times"
    : >"$work/write.times"
    for ((i = 0; i < runs; ++i)); do
        seconds "${tool[@]}" >>"$work/tool.times"
        seconds "${peer[@]}" >>"$work/peer.times"
        seconds "${alone[@]}" >>"$work/write.times"
    done
    local check="outputs equal"
    diff -rq "$w/fa" "$w/fb" >/dev/null || check="OUTPUTS DIFFER"
    awk -v n="$name" -v c="$check" \
        -v t="$(median 1 <"$work/tool.times")" -v p="$(median 1 <"$work/peer.times")" -v z="$(median 1 <"$work/write.times")" \
        -v tc="$(median 2 <"$work/tool.times")" -v pc="$(median 2 <"$work/peer.times")" -v zc="$(median 2 <"$work/write.times")" '
        BEGIN {
            printf "%-44s kvlzw %7.4f s  peer %7.4f s  ratio %5.2fx   (cpu %5.2fx)  %s\n", n, t, p, p / t, pc / tc, c
            printf "%-44s writing alone %.4f s (cpu %.4f s); net of it: ratio %5.2fx   (cpu %5.2fx)\n", "", z, zc,
                (p - z) / (t - z), (pc - zc) / (tc - zc) }'
}
frames_job "GIF frames: screen capture 60 x 1280x720" "$w/capture.gif" "1280 720 60"
frames_job "GIF frames: gifplayer-muybridge 380 frames" "$corpus/gif/wuffs/gifplayer-muybridge.gif" "472 298 380"
job "decode 3072x2048 RGB TIFF -> .bin (libtiff)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/strips.tif" -o "$w/a.bin" -- "$bin/peer_tiff" read "$w/strips.tif" "$w/b.bin"
job "decode 4000x3000 16-bit grey pred 2 (libtiff)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/grey16.tif" -o "$w/a.bin" -- "$bin/peer_tiff" read "$w/grey16.tif" "$w/b.bin"
job "decode 4000x3000 RGB pred 2 (libtiff)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/rgb_p2.tif" -o "$w/a.bin" -- "$bin/peer_tiff" read "$w/rgb_p2.tif" "$w/b.bin"
job "decode 4000x3000 RGB no predictor (libtiff)" "$w/a.bin" "$w/b.bin" -- \
    "$kv" decode "$w/rgb_p1.tif" -o "$w/a.bin" -- "$bin/peer_tiff" read "$w/rgb_p1.tif" "$w/b.bin"
