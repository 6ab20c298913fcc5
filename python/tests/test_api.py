"""Every error path of the API once, and loads in several threads at once."""

import io
import threading

import numpy as np
import pytest

import kvlzw
from conftest import corpus_file

PALETTE = np.array([[0, 0, 0], [255, 255, 255]], np.uint8)
GIF = "gif/wuffs/muybridge.gif"
TIFF = "tiff/image-tiff/kodim02-lzw.tif"


def _gif():
    return corpus_file(GIF).read_bytes()


def _animation():
    return kvlzw.gif.Animation(_gif())


# (what, call, exception, the host's code or a word of the message, or None)
ERRORS = [
    ("missing file", lambda: kvlzw.gif.read("/nonexistent/a.gif"), FileNotFoundError, None),
    ("directory", lambda: kvlzw.tiff.read("/"), IsADirectoryError, None),
    ("src of another type", lambda: kvlzw.gif.info(42), TypeError, None),
    ("text file object", lambda: kvlzw.gif.read(io.StringIO("GIF89a")), TypeError, None),
    ("not a GIF", lambda: kvlzw.gif.read(b"GIF89a junk"), kvlzw.Error, -2005),
    ("info of not a GIF", lambda: kvlzw.gif.info(b"PNG"), kvlzw.Error, None),
    ("page 0", lambda: kvlzw.gif.read(_gif(), 0), ValueError, None),
    ("page as text", lambda: kvlzw.gif.read(_gif(), "1"), TypeError, None),
    ("page past the last", lambda: kvlzw.gif.read(_gif(), 99), kvlzw.Error, None),
    ("page past max_pixels", lambda: kvlzw.gif.read(_gif(), max_pixels=100), kvlzw.Error, -9005),
    ("screen past max_pixels", lambda: kvlzw.gif.Animation(_gif(), max_pixels=100), kvlzw.Error, -9005),
    ("image past max_memory", lambda: kvlzw.tiff.read(corpus_file(TIFF), max_memory=100000), kvlzw.Error, None),
    ("max_memory 0", lambda: kvlzw.gif.read(_gif(), max_memory=0), ValueError, None),
    ("max_pixels not an int", lambda: kvlzw.gif.read(_gif(), max_pixels=1.5), TypeError, None),
    ("animation of not a GIF", lambda: kvlzw.gif.Animation(b"\0" * 100), kvlzw.Error, None),
    ("frame past the end", lambda: _animation()[15], IndexError, None),
    ("frame index of a str", lambda: _animation()["0"], TypeError, None),
    ("negative time", lambda: _animation().frame_at(-1), ValueError, None),
    ("negative delay", lambda: setattr(_animation(), "default_delay_ms", -1), ValueError, None),
    ("more than 256 colours", lambda: kvlzw.gif.write(
        io.BytesIO(), np.random.default_rng(1).integers(0, 256, (10, 30, 3), dtype=np.uint8)), ValueError, "quantize"),
    ("index past the palette", lambda: kvlzw.gif.write(io.BytesIO(), np.full((2, 2), 2, np.uint8), palette=PALETTE),
     ValueError, None),
    ("indices without a palette", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2), np.uint8)), ValueError, None),
    ("frames of floats", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2, 3))), TypeError, None),
    ("no frames", lambda: kvlzw.gif.write(io.BytesIO(), []), ValueError, None),
    ("unknown version", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2, 3), np.uint8), version="90a"),
     ValueError, None),
    ("loop with append", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2, 3), np.uint8), loop=0, append=True),
     ValueError, None),
    ("delay with GIF87a", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2, 3), np.uint8), delay_ms=100,
                                                  version="87a"), ValueError, None),
    ("delays for other frames", lambda: kvlzw.gif.write(io.BytesIO(), np.zeros((2, 2, 3), np.uint8), delay_ms=[1, 2]),
     ValueError, None),
    ("dst a directory", lambda: kvlzw.gif.write("/", np.zeros((2, 2, 3), np.uint8)), IsADirectoryError, None),
    ("dst of another type", lambda: kvlzw.gif.write(42, np.zeros((2, 2, 3), np.uint8)), TypeError, None),
    ("GIF as a TIFF", lambda: kvlzw.tiff.read(_gif()), kvlzw.Error, -9010),
    ("tiled TIFF", lambda: kvlzw.tiff.read(corpus_file("tiff/image-tiff/libtiffpic/quad-tile.tif")), kvlzw.Error, -9010),
    ("negative directory", lambda: kvlzw.tiff.info(corpus_file(TIFF), -1), ValueError, None),
    ("directory past the last", lambda: kvlzw.tiff.read(corpus_file(TIFF), 5), kvlzw.Error, None),
    ("LZW of a str", lambda: kvlzw.lzw.encode("text"), TypeError, None),
    ("negative size", lambda: kvlzw.lzw.decode(b"\x80", -1), ValueError, None),
    ("out too small", lambda: kvlzw.lzw.decode(kvlzw.lzw.encode(b"abcdef"), out=bytearray(2), size=6), ValueError, None),
    ("read-only out", lambda: kvlzw.lzw.encode(b"abc", out=b"xxxxxxxx"), TypeError, None),
]


@pytest.mark.parametrize("what,call,exception,code", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors(what, call, exception, code):
    with pytest.raises(exception) as raised:
        call()
    if isinstance(code, str):
        assert code in str(raised.value)
    if exception is kvlzw.Error:
        error = raised.value
        assert error.records and error.code == error.records[0].code < 0
        assert all(r.description in str(error) for r in error.records)
        if code is not None:
            assert error.code == code


def test_damaged_bytes_never_crash():
    """Every prefix and many single-byte changes of real files raise kvlzw.Error or load."""
    rng = np.random.default_rng(3)
    for name, load in ((GIF, lambda b: [f.image for f in kvlzw.gif.Animation(b)]),
                       ("gif/giflib/treescap-interlaced.gif", lambda b: kvlzw.gif.read(b).rgba()),
                       ("tiff/derived/rgb-3c-8b-lzw-onestrip.tif", kvlzw.tiff.read)):
        data = corpus_file(name).read_bytes()
        variants = [data[:n] for n in range(0, len(data), max(1, len(data) // 97))]
        for _ in range(60):
            changed = bytearray(data)
            changed[rng.integers(0, len(data))] = rng.integers(0, 256)
            variants.append(bytes(changed))
        for variant in variants:
            try:
                load(variant)
            except kvlzw.Error:
                pass


def test_threads_give_the_results_of_loads_alone():
    jobs = [
        lambda: kvlzw.gif.read(corpus_file("gif/wuffs/harvesters.gif")).indices,
        lambda: np.stack([f.image for f in kvlzw.gif.Animation(corpus_file(GIF))]),
        lambda: kvlzw.tiff.read(corpus_file(TIFF)),
        lambda: np.frombuffer(kvlzw.lzw.decode(kvlzw.lzw.encode(corpus_file(TIFF).read_bytes())), np.uint8),
    ]
    alone = [job() for job in jobs]
    results = {}
    shared = kvlzw.gif.Animation(corpus_file(GIF))
    expected_shared = alone[1]

    def work(n):
        for round in range(4):
            i = (n + round) % len(jobs)
            results[(n, round)] = np.array_equal(jobs[i](), alone[i])
            # One animation used by every thread: calls take turns.
            k = (n * 3 + round) % len(shared)
            results[(n, round, "shared")] = np.array_equal(shared[k].image, expected_shared[k])

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 64 and all(results.values())


def test_dask_example(tmp_path):
    import os
    import shutil
    import subprocess
    import sys

    from PIL import Image

    folder = tmp_path / "in"
    folder.mkdir()
    names = ["gif/giflib/fire.gif", TIFF, "tiff/image-tiff/libtiffpic/quad-tile.tif"]
    for name in names:
        shutil.copy(corpus_file(name), folder)
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "dask_convert.py")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, example, str(folder), str(tmp_path / "out")], env=env,
                         capture_output=True, text=True, check=True)
    assert "34 PNGs from 3 files" in run.stdout and "quad-tile.tif: 0 image(s)" in run.stdout
    frames = kvlzw.gif.Animation(corpus_file("gif/giflib/fire.gif"))
    for i in (1, 33):
        with Image.open(tmp_path / "out" / f"fire-{i:04d}.png") as im:
            assert np.array_equal(np.asarray(im), frames[i - 1].image)
    with Image.open(tmp_path / "out" / "kodim02-lzw-0001.png") as im:
        assert np.array_equal(np.asarray(im), kvlzw.tiff.read(corpus_file(TIFF)))
