"""GIF files: pages and their descriptions, composed animation frames, writing.

Pages are counted from 1, as in the file; frames of an :class:`Animation`
are a Python sequence, counted from 0.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Iterator, Sequence, Union, overload

import numpy as np

from . import _common, _native

__all__ = ["info", "read", "write", "Animation", "Frame", "Page", "PageInfo", "Info", "MetadataNode"]


class MetadataNode:
    """One item of a page's metadata tree: a group (``children`` is a list)
    or a value (``value`` is an int, a list of ints, a str, bytes or None)."""

    __slots__ = ("name", "id", "value", "children")

    def __init__(self, name: str, id: int, value: Any = None, children: list[MetadataNode] | None = None) -> None:
        self.name = name
        self.id = id
        self.value = value
        self.children = children

    @classmethod
    def _from_native(cls, t: tuple) -> MetadataNode:
        name, id, value, children = t
        return cls(name, id, value, None if children is None else [cls._from_native(c) for c in children])

    def __getitem__(self, name: str) -> MetadataNode:
        """The first child of this name (KeyError when none)."""
        for child in self.children or ():
            if child.name == name:
                return child
        raise KeyError(name)

    def get(self, name: str, default: Any = None) -> Any:
        try:
            return self[name]
        except KeyError:
            return default

    def __iter__(self) -> Iterator[MetadataNode]:
        return iter(self.children or ())

    def __repr__(self) -> str:
        if self.children is None:
            return f"MetadataNode({self.name!r}, {self.id}, {self.value!r})"
        return f"MetadataNode({self.name!r}, {self.id}, children=[{', '.join(c.name for c in self.children)}])"


@dataclass(frozen=True)
class PageInfo:
    """A page's description: geometry, transparency, delay and disposal."""

    width: int
    height: int
    left: int
    top: int
    depth: int
    interlaced: bool
    transparent_index: int | None
    delay_ms: int
    disposal: int
    background_index: int


@dataclass(frozen=True)
class Info:
    """A GIF's description, read without decoding pixels."""

    version: str
    screen: tuple[int, int]
    """The logical screen, (width, height)."""
    loop_count: int | None
    """The looping extension's count (0: for ever), or None when there is none."""
    duration_ms: int
    """The animation's total duration: a delay of at most 10 ms counts as 100 ms."""
    pages: list[PageInfo]
    warnings: list = field(default_factory=list)

    @property
    def page_count(self) -> int:
        return len(self.pages)


@dataclass(frozen=True, eq=False)
class Page(PageInfo):
    """A decoded page: its indices (H x W uint8), palette (N x 3 uint8),
    description, metadata tree and tags."""

    indices: np.ndarray = None  # type: ignore[assignment]
    palette: np.ndarray = None  # type: ignore[assignment]
    version: str = ""
    metadata: MetadataNode = None  # type: ignore[assignment]
    tags: list[tuple[int, Any]] = field(default_factory=list)
    """The numbered tags (1500 to 1515) in the order the reader set them."""
    warnings: list = field(default_factory=list)
    """Error records of a page that still arrived whole (a missing trailer, say)."""

    def rgba(self) -> np.ndarray:
        """The page as a viewer shows it: H x W x 4 uint8, its transparent index with alpha 0."""
        t = -1 if self.transparent_index is None else self.transparent_index
        return _native.rgba(self.indices, self.palette, t)


_PAGE_FIELDS = tuple(PageInfo.__dataclass_fields__)


def _page_info(d: dict) -> PageInfo:
    return PageInfo(**{k: d[k] for k in _PAGE_FIELDS})


def _duration_ms(pages: Sequence[PageInfo], min_delay_ms: int = 10, default_delay_ms: int = 100) -> int:
    # The same rule the frames follow: short delays show for the default.
    return sum(p.delay_ms if p.delay_ms // 10 > min_delay_ms // 10 else default_delay_ms // 10 * 10 for p in pages)


def info(src: _common.Source, *, max_memory: int | None = None) -> Info:
    """Describes a GIF: version, logical screen, loop count, total duration and
    every page's description, without decoding pixels.

    ``src`` is a path, a bytes-like object or a binary file object.
    Raises :class:`kvlzw.Error` when the file cannot be read.
    """
    _, memory = _common.limits(None, max_memory)
    d = _native.gif_describe(_common.source(src), memory)
    pages = [_page_info(p) for p in d["pages"]]
    return Info(d["version"], tuple(d["screen"]), d["loop_count"], _duration_ms(pages), pages, d["warnings"])


def read(src: _common.Source, page: int = 1, *, max_pixels: int | None = None, max_memory: int | None = None) -> Page:
    """Decodes page ``page`` (from 1) of a GIF.

    A page larger than ``max_pixels`` pixels is refused before decoding, and
    the call may allocate at most ``max_memory`` bytes. A page whose rows all
    arrived despite errors (a file without its trailer) is returned with the
    errors in ``warnings``. Raises :class:`kvlzw.Error` otherwise.
    """
    if isinstance(page, bool) or not isinstance(page, int):
        raise TypeError("page must be an int")
    if not 1 <= page < 1 << 32:
        raise ValueError("pages are counted from 1")
    pixels, memory = _common.limits(max_pixels, max_memory)
    d = _native.gif_read(_common.source(src), page, pixels, memory)
    d["metadata"] = MetadataNode._from_native(d["metadata"])
    return Page(**d)


class Frame:
    """A composed frame: ``image`` (H x W x 4 uint8 RGBA as viewers show it,
    or with ``indexed=True`` the canvas's H x W indices and its ``palette``),
    its number ``index`` (from 0) and ``delay_ms``. ``numpy.asarray(frame)``
    is its image."""

    __slots__ = ("index", "image", "palette", "delay_ms")

    def __init__(self, index: int, image: np.ndarray, palette: np.ndarray | None, delay_ms: int) -> None:
        self.index = index
        self.image = image
        self.palette = palette
        self.delay_ms = delay_ms

    def __array__(self, dtype: Any = None) -> np.ndarray:
        return self.image if dtype is None else self.image.astype(dtype)

    def __repr__(self) -> str:
        return f"Frame(index={self.index}, shape={self.image.shape}, delay_ms={self.delay_ms})"


_SMALL_FILE = 16 << 20


class Animation(Sequence[Frame]):
    """The frames of a GIF composed on its logical screen as viewers show them.

    ``len()``, indexing (from 0, negative from the end, slices) and iteration
    give :class:`Frame` objects. Each frame is composed on the canvas from the
    one before, so going forward costs one frame and going back rebuilds from
    the first. With ``indexed=True`` frames are the component's indexed canvas
    (whose palette is that of the frame drawn last) instead of RGBA.

    An Animation may be used from several threads; calls on it take turns.
    """

    def __init__(
        self,
        src: _common.Source,
        indexed: bool = False,
        *,
        max_pixels: int | None = None,
        max_memory: int | None = None,
    ) -> None:
        pixels, memory = _common.limits(max_pixels, max_memory)
        src = _common.source(src)
        # The host opens a named file more than once for an animation (its
        # description, then the frames): a small file is read once instead.
        if isinstance(src, str) and os.path.getsize(src) <= _SMALL_FILE:
            with open(src, "rb") as f:
                src = f.read()
        self._frames = _native.Frames(src, pixels, memory)
        self._indexed = bool(indexed)
        self._count = self._frames.count()

    def __len__(self) -> int:
        return self._count

    @overload
    def __getitem__(self, index: int) -> Frame: ...
    @overload
    def __getitem__(self, index: slice) -> list[Frame]: ...
    def __getitem__(self, index: Union[int, slice]) -> Union[Frame, list[Frame]]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(self._count))]
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)):
            raise TypeError("frame indices must be integers or slices")
        i = int(index)
        if i < 0:
            i += self._count
        if not 0 <= i < self._count:
            raise IndexError(f"frame {index} of an animation of {self._count}")
        image, palette, delay = self._frames.frame(i, self._indexed)
        return Frame(i, image, palette, delay)

    def __iter__(self) -> Iterator[Frame]:
        frame, indexed = self._frames.frame, self._indexed
        for i in range(self._count):
            yield Frame(i, *frame(i, indexed))

    @property
    def duration_ms(self) -> int:
        """The total of the frames' delays, in milliseconds."""
        return self._frames.duration_ms()

    def frame_at(self, ms: int) -> Frame:
        """The frame shown ``ms`` milliseconds after the start (the last one past the end)."""
        if isinstance(ms, bool) or not isinstance(ms, int):
            raise TypeError("ms must be an int")
        if ms < 0:
            raise ValueError("ms must not be negative")
        return self[self._frames.frame_at(ms)]

    @property
    def min_delay_ms(self) -> int:
        """Delays of at most this many ms show for ``default_delay_ms`` instead (10)."""
        return self._frames.min_delay_ms()

    @min_delay_ms.setter
    def min_delay_ms(self, ms: int) -> None:
        self._frames.set_min_delay_ms(_delay(ms))

    @property
    def default_delay_ms(self) -> int:
        """How long a frame without a usable delay shows (100)."""
        return self._frames.default_delay_ms()

    @default_delay_ms.setter
    def default_delay_ms(self, ms: int) -> None:
        self._frames.set_default_delay_ms(_delay(ms))


def _delay(ms: int) -> int:
    if isinstance(ms, bool) or not isinstance(ms, int):
        raise TypeError("delays are whole milliseconds")
    if not 0 <= ms < 1 << 63:
        raise ValueError("delays must not be negative")
    return ms


FrameLike = Union[np.ndarray, tuple]


def _frame_list(frames: Any, palette: Any) -> list[tuple[np.ndarray, np.ndarray | None]]:
    """(pixels, palette or None) for each frame given."""
    if isinstance(frames, np.ndarray):
        if frames.ndim == 2 or (frames.ndim == 3 and palette is None and frames.shape[-1] in (3, 4)):
            frames = [frames]
        elif frames.ndim not in (3, 4):
            raise ValueError(f"frames of {frames.ndim} dimensions: give H x W indices or H x W x 3 / x 4 colours")
    elif isinstance(frames, tuple) and len(frames) == 2 and not isinstance(frames[0], tuple):
        frames = [frames]
    out = []
    for i, item in enumerate(frames):
        own_palette = palette
        if isinstance(item, tuple):
            item, own_palette = item
        a = np.asarray(item)
        if a.dtype != np.uint8:
            raise TypeError(f"frame {i} is {a.dtype}: frames are uint8")
        if a.ndim == 2:
            if own_palette is None:
                raise ValueError(f"frame {i} holds indices (H x W) and needs a palette")
            p = np.asarray(own_palette)
            if p.dtype != np.uint8 or p.ndim != 2 or p.shape[1] not in (3, 4) or not 1 <= p.shape[0] <= 256:
                raise ValueError("a palette is an N x 3 (or N x 4 with alpha) uint8 array of 1 to 256 entries")
            out.append((a, p))
        elif a.ndim == 3 and a.shape[2] in (3, 4):
            out.append((a, None))
        else:
            raise ValueError(f"frame {i} has shape {a.shape}: give H x W indices or H x W x 3 / x 4 colours")
        if not (1 <= a.shape[0] <= 65535 and 1 <= a.shape[1] <= 65535):
            raise ValueError(f"frame {i} is {a.shape[1]} x {a.shape[0]}: a GIF page is 1 to 65535 pixels a side")
    if not out:
        raise ValueError("no frames to write")
    return out


def _per_frame(name: str, value: Any, count: int, low: int, high: int) -> list[int]:
    values = [value] * count if value is None or isinstance(value, (int, np.integer)) else list(value)
    if len(values) != count:
        raise ValueError(f"{name} has {len(values)} values for {count} frames")
    out = []
    for v in values:
        v = 0 if v is None else v
        if isinstance(v, bool) or not isinstance(v, (int, np.integer)):
            raise TypeError(f"{name} values are ints")
        if not low <= v <= high:
            raise ValueError(f"{name} values run from {low} to {high}")
        out.append(int(v))
    return out


def write(
    dst: _common.Destination,
    frames: Any,
    *,
    palette: Any = None,
    delay_ms: int | Sequence[int] | None = None,
    disposal: int | Sequence[int] | None = None,
    loop: int | None = None,
    interlace: bool = False,
    version: str = "89a",
    comment: str | bytes | None = None,
    append: bool = False,
    max_memory: int | None = None,
) -> None:
    """Writes frames as the pages of a GIF.

    ``frames`` is one frame or a sequence of them: H x W uint8 indices into
    ``palette`` (N x 3 uint8, or N x 4 whose first entry of alpha 0 becomes
    the transparent index), an ``(indices, palette)`` pair, or H x W x 3 /
    H x W x 4 uint8 colours with at most 256 distinct colours (pixels of
    alpha 0 become the transparent index; other alpha is dropped). More
    colours raise ValueError: quantize first, for example with Pillow's
    ``Image.quantize``. A 3-dimensional array is one frame of colours when
    no palette is given and its last axis is 3 or 4, else a stack of frames.

    ``delay_ms`` (kept in hundredths of a second) and ``disposal`` (0 to 7)
    are one value for every frame or one per frame; ``loop`` adds the looping
    extension (0: for ever) and ``comment`` a comment, both before the first
    page. ``version`` is "89a" or "87a" (which has no extension blocks).
    ``append`` adds the pages to the GIF already at ``dst``; a failed write
    leaves ``dst`` as it was.
    """
    if version not in ("87a", "89a"):
        raise ValueError('version is "87a" or "89a"')
    listed = _frame_list(frames, palette)
    delays = _per_frame("delay_ms", delay_ms, len(listed), 0, 655350)
    disposals = _per_frame("disposal", disposal, len(listed), 0, 7)
    if loop is not None and (isinstance(loop, bool) or not isinstance(loop, int) or not 0 <= loop <= 65535):
        raise ValueError("loop is a count from 0 (for ever) to 65535")
    if loop is not None and append:
        raise ValueError("loop belongs on a new file's first page, not with append")
    if isinstance(comment, str):
        comment = comment.encode("utf-8")
    if comment is not None and not isinstance(comment, bytes):
        raise TypeError("comment is str or bytes")
    if version == "87a" and (loop is not None or comment is not None or any(delays) or any(disposals)):
        raise ValueError("GIF87a has no extension blocks: no delay, disposal, loop or comment")
    _, memory = _common.limits(None, max_memory)
    if not (_common.is_destination_file(dst) or isinstance(dst, (str, _common.os.PathLike))):
        raise TypeError(f"dst must be a path or a binary file object, not {type(dst).__name__}")
    existing = _common.existing_bytes(dst) if append else None
    native = [(a, p, (d + 5) // 10, disp) for (a, p), d, disp in zip(listed, delays, disposals)]
    data = _native.gif_write(existing, native, int(version[:2]), bool(interlace), bool(append), loop, comment, memory)
    _common.write_whole(dst, data, replace=append)
