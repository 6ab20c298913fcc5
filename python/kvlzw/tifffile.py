"""tifffile integration: :func:`register` makes tifffile read and write LZW
TIFFs (compression 5) through this package's codec.
"""

from __future__ import annotations

from . import lzw

__all__ = ["register"]


def _decode(data, out=None, **kwargs):
    # tifffile passes the segment's expected size as out (an int).
    return lzw.decode(data, out=out)


def _encode(data, level=None, *, out=None, **kwargs):
    return lzw.encode(data, level, out=out)


def register() -> None:
    """Registers the codec in tifffile's own tables of compressors and
    decompressors (``tifffile.TIFF.COMPRESSORS`` and ``DECOMPRESSORS``), so
    ``tifffile.imread`` and ``tifffile.imwrite(..., compression="lzw")`` use
    it. tifffile's files are not changed; calling it again does nothing new."""
    import tifffile

    tifffile.TIFF.DECOMPRESSORS._codecs[5] = _decode
    tifffile.TIFF.COMPRESSORS._codecs[5] = _encode
