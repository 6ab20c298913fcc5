"""The Python package against Pillow on the same files, in one process:
the best of several alternating runs of each side, in milliseconds of
thread CPU time (the machine may be shared) and of wall time.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [RUNS]

Inputs come from the shared corpus (KVLZW_CORPUS_DIR, default
../shared/corpus) and are made in a temporary folder: a 1280x720 screen
capture of 60 frames, and an RGB LZW TIFF with the horizontal predictor.
"""

import io
import os
import pathlib
import sys
import tempfile
import time

import numpy as np
import tifffile
from PIL import Image, ImageDraw

import kvlzw

CORPUS = pathlib.Path(os.environ.get("KVLZW_CORPUS_DIR", pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus"))


def best(run, runs):
    """(best thread CPU ms, best wall ms) of runs calls."""
    cpu, wall = [], []
    for _ in range(runs):
        c, w = time.thread_time(), time.perf_counter()
        run()
        cpu.append(time.thread_time() - c)
        wall.append(time.perf_counter() - w)
    return min(cpu) * 1000, min(wall) * 1000


def screen_capture(path):
    """A 1280x720 desktop of flat windows, text-like strokes and a moving
    cursor and progress bar, 60 frames, saved by Pillow (which codes only
    the changed rectangle of each frame)."""
    rng = np.random.default_rng(1)
    base = Image.new("RGB", (1280, 720), (40, 60, 90))
    draw = ImageDraw.Draw(base)
    for i in range(12):
        x, y = int(rng.integers(0, 1000)), int(rng.integers(0, 500))
        draw.rectangle([x, y, x + 280, y + 200], fill=tuple(int(v) for v in rng.integers(150, 255, 3)), outline=(0, 0, 0))
        draw.rectangle([x, y, x + 280, y + 18], fill=(30, 30, 120))
        for line in range(8):
            draw.line([x + 8, y + 30 + line * 20, x + 40 + int(rng.integers(60, 240)), y + 30 + line * 20],
                      fill=(20, 20, 20), width=2)
    frames = []
    for f in range(60):
        frame = base.copy()
        d = ImageDraw.Draw(frame)
        d.rectangle([100, 650, 100 + f * 18, 670], fill=(0, 200, 0))
        cx, cy = 200 + f * 14, 150 + f * 6
        d.polygon([(cx, cy), (cx + 14, cy + 14), (cx + 5, cy + 14)], fill=(255, 255, 255), outline=(0, 0, 0))
        frames.append(frame.quantize(256, dither=Image.Dither.NONE))
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=40, loop=0)


def main(runs):
    work = pathlib.Path(tempfile.mkdtemp(prefix="kvlzw-bench-"))
    photo_gif = CORPUS / "gif/wuffs/harvesters.gif"
    muybridge = CORPUS / "gif/wuffs/muybridge.gif"
    capture = work / "capture.gif"
    screen_capture(capture)
    with Image.open(photo_gif) as im:
        photo_p = im.copy()
    indices, palette = np.asarray(photo_p), np.array(photo_p.getpalette()[:768], np.uint8).reshape(-1, 3)
    rgb = np.tile(np.asarray(photo_p.convert("RGB")), (2, 2, 1))
    tiff_path = work / "photo-rgb-predictor2.tif"
    kvlzw.tifffile.register()
    tifffile.imwrite(tiff_path, rgb, compression="lzw", predictor="horizontal", rowsperstrip=16, photometric="rgb")
    assert np.array_equal(kvlzw.tiff.read(tiff_path), rgb)

    # Frames are taken one by one and let go, as a converter does: keeping
    # all of them would time the system's page faults more than either side.
    def pillow_frames(path):
        with Image.open(path) as im:
            for i in range(im.n_frames):
                im.seek(i)
                np.asarray(im.convert("RGBA"))

    def kvlzw_frames(path):
        for frame in kvlzw.gif.Animation(path):
            frame.image

    def pillow_save():
        buffer = io.BytesIO()
        photo_p.save(buffer, format="GIF")
        return buffer

    def kvlzw_save():
        buffer = io.BytesIO()
        kvlzw.gif.write(buffer, indices, palette=palette)
        return buffer

    jobs = [
        (f"GIF photo page {photo_p.width}x{photo_p.height} -> array", 2.0,
         lambda: kvlzw.gif.read(photo_gif).indices, lambda: np.asarray(Image.open(photo_gif))),
        ("muybridge: every composed RGBA frame", 3.0,
         lambda: kvlzw_frames(muybridge), lambda: pillow_frames(muybridge)),
        ("1280x720 screen capture, 60 RGBA frames", 3.0,
         lambda: kvlzw_frames(capture), lambda: pillow_frames(capture)),
        (f"write a 256-colour {photo_p.width}x{photo_p.height} GIF", 3.0, kvlzw_save, pillow_save),
        (f"LZW TIFF RGB predictor 2 {rgb.shape[1]}x{rgb.shape[0]} -> array", 1.5,
         lambda: kvlzw.tiff.read(tiff_path), lambda: np.asarray(Image.open(tiff_path))),
    ]
    # The two sides give the same pixels (the write's output decodes to the same indices).
    assert np.array_equal(kvlzw.gif.read(photo_gif).indices, indices)
    assert np.array_equal(np.asarray(Image.open(kvlzw_save())), indices)
    print(f"best of {runs} runs each, alternating; ms of thread CPU time (wall)")
    print(f"{'job':48} {'kvlzw':>16} {'Pillow':>16} {'ratio':>6} {'target':>6}")
    met = True
    for name, target, ours, theirs in jobs:
        ours_t, theirs_t = [float("inf")] * 2, [float("inf")] * 2
        for _ in range(runs):
            ours_t = [min(a, b) for a, b in zip(ours_t, best(ours, 1))]
            theirs_t = [min(a, b) for a, b in zip(theirs_t, best(theirs, 1))]
        ratio = theirs_t[0] / ours_t[0]
        met &= ratio >= target
        print(f"{name:48} {ours_t[0]:8.2f} ({ours_t[1]:5.1f}) {theirs_t[0]:8.2f} ({theirs_t[1]:5.1f}) "
              f"{ratio:6.2f} {target:5.1f}x {'met' if ratio >= target else 'NOT met'}")
    for p in work.iterdir():
        p.unlink()
    work.rmdir()
    return met


if __name__ == "__main__":
    sys.exit(0 if main(int(sys.argv[1]) if len(sys.argv) > 1 else 15) else 1)
