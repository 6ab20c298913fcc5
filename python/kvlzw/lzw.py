"""The bare TIFF LZW codec on bytes, with the conventions of imagecodecs'
``lzw_encode`` and ``lzw_decode``: any bytes-like input (a numpy array
included), bytes out, and ``out`` as a size or a writable buffer to fill.
"""

from __future__ import annotations

from typing import Any

from . import _common, _native

__all__ = ["encode", "decode"]


def _finish(result: bytes, out: Any) -> Any:
    if out is None or isinstance(out, int):
        return result
    view = memoryview(out).cast("B")
    if view.readonly:
        raise TypeError("out must be writable")
    if len(result) > len(view):
        raise ValueError(f"out holds {len(view)} bytes; the result is {len(result)}")
    view[: len(result)] = result
    return out


def encode(data: Any, level: int | None = None, *, out: Any = None, max_memory: int | None = None) -> Any:
    """The TIFF LZW stream of the bytes of ``data`` (``level`` is accepted and
    ignored, as LZW has none). With ``out`` a writable buffer, the stream is
    written at its start and ``out`` returned."""
    _, memory = _common.limits(None, max_memory)
    return _finish(_native.lzw_encode(_as_bytes(data), memory), out)


def decode(data: Any, size: int | None = None, *, out: Any = None, max_memory: int | None = None) -> Any:
    """Decodes a TIFF LZW stream (new- or old-style).

    Without a size the result runs to the stream's end code (or the end of
    the data). With ``size`` (or ``out`` as an int) the result is exactly that
    many bytes, zero past where the data ends. With ``out`` a writable buffer,
    the result is written at its start (its length is the size) and ``out``
    returned.
    """
    _, memory = _common.limits(None, max_memory)
    if isinstance(out, int) and not isinstance(out, bool):
        size, out = out, None
    elif out is not None and size is None:
        size = memoryview(out).nbytes
    if size is not None:
        if isinstance(size, bool) or not isinstance(size, int):
            raise TypeError("size must be an int")
        if not 0 <= size < 1 << 32:
            raise ValueError("size runs from 0 to 2**32 - 1")
    return _finish(_native.lzw_decode(_as_bytes(data), -1 if size is None else size, memory), out)


def _as_bytes(data: Any) -> Any:
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}") from None
    # Strided views (a numpy slice) are made contiguous first.
    return view if view.c_contiguous else view.tobytes()
