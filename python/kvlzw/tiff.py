"""LZW TIFF files: an image directory as an array, and its description.

Directories are counted from 0, as in tifffile. Strips are LZW-compressed
(predictor 1 or 2, either fill order and byte order); see the README for
the layouts read. Tiles, other compressions and BigTIFF raise
:class:`kvlzw.Error`.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _common, _native

__all__ = ["read", "info"]


def _directory(directory: int) -> int:
    if isinstance(directory, bool) or not isinstance(directory, int):
        raise TypeError("directory must be an int")
    if not 0 <= directory <= 65535:
        raise ValueError("directories are counted from 0 to 65535")
    return directory


def read(
    src: _common.Source, directory: int = 0, *, max_pixels: int | None = None, max_memory: int | None = None
) -> np.ndarray:
    """The image of directory ``directory`` as an array: H x W for one
    sample a pixel, else H x W x C; uint8 for up to 8 bits a sample, else
    uint16 (12-bit samples keep their values). Palette images give their
    indices (the palette is in :func:`info`); YCbCr comes as RGB. Rows the
    strip data does not reach (a damaged file) are zero.

    ``src`` is a path, a bytes-like object or a binary file object. An image
    larger than ``max_pixels`` pixels is refused before decoding; the call may
    allocate at most ``max_memory`` bytes.
    """
    pixels, memory = _common.limits(max_pixels, max_memory)
    return _native.tiff_read(_common.source(src), _directory(directory), pixels, memory)


def info(src: _common.Source, directory: int = 0, *, max_memory: int | None = None) -> dict[str, Any]:
    """The tag values of directory ``directory`` as the reader uses them
    (width, height, byte_order, compression, photometric, planar_config,
    predictor, fill_order, bits_per_sample, samples_per_pixel, extra_samples,
    rows_per_strip, strip_count) and the array :func:`read` gives (shape,
    dtype, palette as N x 3 uint8 or None)."""
    _, memory = _common.limits(None, max_memory)
    d = _native.tiff_info(_common.source(src), _directory(directory), memory)
    channels = d.pop("channels")
    bits = d.pop("bits_per_channel")
    d.pop("colorspace")
    d["shape"] = (d["height"], d["width"]) if channels == 1 else (d["height"], d["width"], channels)
    d["dtype"] = np.dtype(np.uint16 if bits > 8 else np.uint8)
    return d
