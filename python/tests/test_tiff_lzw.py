"""LZW TIFF images against tifffile (through register()) and libtiff (through
Pillow), and the bare codec's round trips and imagecodecs conventions."""

import io

import numpy as np
import pytest
import tifffile
from PIL import Image

import kvlzw
from conftest import corpus_file

# (file, planar: tifffile gives samples first, libtiff: Pillow reads it the same way)
TIFFS = [
    ("tiff/image-tiff/kodim02-lzw.tif", False, True),
    ("tiff/derived/rgb-3c-8b-lzw-fillorder2.tif", False, True),
    ("tiff/derived/rgb-3c-16b-lzw-pred2.tif", False, False),
    ("tiff/derived/minisblack-1c-16b-lzw-pred2-be.tif", False, False),
    ("tiff/derived/palette-1c-8b-lzw.tif", False, False),
    ("tiff/derived/cmyk-8b-contig-lzw.tif", False, False),
    ("tiff/image-tiff/seq-1c-8b-lzw-hpredict.tiff", False, True),
    ("tiff/image-tiff/Transparency-lzw.tif", False, True),
    ("tiff/pillow/tiff_16bit_RGBa.tiff", False, False),
    ("tiff/pillow/tiff_strip_planar_lzw.tiff", True, True),
    ("tiff/libtiff/quad-lzw-compat.tiff", False, True),
]


@pytest.mark.parametrize("name,planar,libtiff", TIFFS, ids=[t[0] for t in TIFFS])
def test_tiff_matches_tifffile_and_libtiff(name, planar, libtiff):
    path = corpus_file(name)
    kvlzw.tifffile.register()
    image = kvlzw.tiff.read(path)
    expected = tifffile.imread(path)
    if planar:
        expected = np.moveaxis(expected, 0, -1)
    assert image.dtype == expected.dtype and np.array_equal(image, expected)
    info = kvlzw.tiff.info(path)
    assert (info["shape"], info["dtype"]) == (image.shape, image.dtype) and info["compression"] == 5
    if libtiff:
        with Image.open(path) as im:
            assert np.array_equal(image, np.asarray(im))
    assert np.array_equal(kvlzw.tiff.read(io.BytesIO(path.read_bytes())), image)


def test_tifffile_writes_through_register(tmp_path):
    kvlzw.tifffile.register()
    rng = np.random.default_rng(7)
    for image, predictor in ((rng.integers(0, 256, (67, 45, 3), dtype=np.uint8), None),
                             (rng.integers(0, 4096, (31, 90), dtype=np.uint16), "horizontal")):
        path = tmp_path / "w.tif"
        tifffile.imwrite(path, image, compression="lzw", predictor=predictor, rowsperstrip=8)
        assert np.array_equal(kvlzw.tiff.read(path), image)
        assert np.array_equal(tifffile.imread(path), image)
        with Image.open(path) as im:  # libtiff decodes our codec's strips
            assert np.array_equal(np.asarray(im), image)


def _coded(n):
    """Bytes whose codes grow the table to about n entries: no string repeats early."""
    rng = np.random.default_rng(n)
    return rng.integers(0, 256, n, dtype=np.uint8).tobytes()


# Awkward inputs: empty, one byte, runs, and lengths around where the code
# table fills (4093 codes and the clear after it) and the code widths change.
ROUND_TRIPS = [b"", b"x", b"\0" * 10000, bytes(range(256)) * 40] + \
    [_coded(n) for n in [250, 251, 252, 253, 507, 509, 1019, 1021, 2043, 2045, 8000, *range(3850, 4100, 3)]]


def test_lzw_round_trips():
    for data in ROUND_TRIPS:
        encoded = kvlzw.lzw.encode(data)
        assert kvlzw.lzw.decode(encoded) == data, len(data)
        assert kvlzw.lzw.decode(encoded, len(data)) == data
        # A size past the data gives zeros; a smaller one the start.
        assert kvlzw.lzw.decode(encoded, len(data) + 5) == data + b"\0" * 5
        assert kvlzw.lzw.decode(encoded, out=len(data) // 2) == data[: len(data) // 2]
        out = bytearray(len(data))
        assert kvlzw.lzw.decode(encoded, out=out) is out and out == data
    array = np.arange(3000, dtype=np.uint16).reshape(30, 100)
    assert kvlzw.lzw.decode(kvlzw.lzw.encode(array)) == array.tobytes()
    assert kvlzw.lzw.decode(kvlzw.lzw.encode(array[:, ::2])) == array[:, ::2].tobytes()
    assert kvlzw.lzw.encode(memoryview(b"abc")) == kvlzw.lzw.encode(bytearray(b"abc"))
