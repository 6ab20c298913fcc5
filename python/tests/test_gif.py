"""GIF pages, descriptions and composed frames against Pillow, the kvlzw
tool and a compositor written here from the pages alone."""

import io
import json
import subprocess

import numpy as np
import pytest
from PIL import Image

import kvlzw
from conftest import corpus_file

# Files whose pages cover the logical screen, so that Pillow's first frame
# is the page itself: (file, what it exercises).
PAGES = [
    ("gif/wuffs/harvesters.gif", "photograph, 256 colours"),
    ("gif/wuffs/hippopotamus.interlaced.gif", "interlaced"),
    ("gif/giflib/treescap.gif", "GIF87a, 16 colours"),
    ("gif/giflib/porsche.gif", "GIF87a photograph"),
    ("gif/peterdn/static_transparent.gif", "transparent index"),
    ("gif/pygif/4095-codes-clear.gif", "code table full, then clear"),
    ("gif/pygif/255-codes.gif", "few codes"),
    ("gif/libtiff/palette-1c-8b.gif", "8-bit palette"),
]


@pytest.mark.parametrize("name", [p[0] for p in PAGES])
def test_page_matches_pillow(name):
    path = corpus_file(name)
    page = kvlzw.gif.read(path)
    with Image.open(path) as im:
        assert (page.width, page.height) == im.size
        assert np.array_equal(page.rgba(), np.asarray(im.convert("RGBA")))
        # Sources of every kind give the same page.
        data = path.read_bytes()
    for src in (data, bytearray(data), memoryview(data), io.BytesIO(data), str(path)):
        again = kvlzw.gif.read(src)
        assert np.array_equal(again.indices, page.indices) and np.array_equal(again.palette, page.palette)


# Multi-page files: every page's indices and description against the tool.
TOOL_FILES = ["gif/wuffs/muybridge.gif", "gif/pillow/dispose_prev.gif", "gif/oiio/gif_animation.gif",
              "gif/peterdn/animated_transparent_loop_frames_out_of_bounds.gif"]


@pytest.mark.parametrize("name", TOOL_FILES)
def test_pages_match_tool(name, tool, tmp_path):
    path = corpus_file(name)
    info = kvlzw.gif.info(path)
    first = json.loads(subprocess.run([tool, "info", str(path), "--json"], capture_output=True, check=True).stdout)
    assert info.page_count == first["pages"] and info.duration_ms == first["duration_ms"]
    assert info.screen == (first["screen"]["width"], first["screen"]["height"])
    for number, described in enumerate(info.pages, 1):
        out = tmp_path / f"{number}.bin"
        subprocess.run([tool, "decode", str(path), "--page", str(number), "-o", str(out)], check=True)
        page = kvlzw.gif.read(path, number)
        assert page.indices.tobytes() == out.read_bytes()
        shown = json.loads(subprocess.run([tool, "info", str(path), "--page", str(number), "--json"],
                                          capture_output=True, check=True).stdout)["page"]
        expected = dict(width=shown["width"], height=shown["height"], left=shown["left"], top=shown["top"],
                        depth=shown["depth"], interlaced=shown["interlaced"],
                        transparent_index=shown["transparent_index"], delay_ms=shown["delay"] * 10,
                        disposal=shown["disposal"], background_index=shown["background_index"])
        assert described == kvlzw.gif.PageInfo(**expected)
        assert kvlzw.gif.PageInfo(**{k: getattr(page, k) for k in expected}) == described


def same_on_screen(a, b):
    """RGBA images that look the same: equal alpha, equal colour where visible."""
    visible = a[..., 3] != 0
    return np.array_equal(a[..., 3], b[..., 3]) and np.array_equal(a[visible], b[visible])


# Where Pillow composes as browsers do (the C++ cross-check holds every
# animation of the corpus against giflib's images; here: the binding).
PILLOW_FRAMES = ["gif/wuffs/muybridge.gif", "gif/peterdn/animated_loop.gif", "gif/pillow/dispose_prev.gif",
                 "gif/peterdn/animated_transparent_frame_restoreprev_loop.gif", "gif/pillow/iss634.gif"]


@pytest.mark.parametrize("name", PILLOW_FRAMES)
def test_frames_match_pillow_and_tool(name, tool, tmp_path):
    path = corpus_file(name)
    animation = kvlzw.gif.Animation(path)
    indexed = kvlzw.gif.Animation(path, indexed=True)
    for kind in ("rgba", "indexed"):
        subprocess.run([tool, "frames", str(path), "-o", str(tmp_path / kind), "--format", "bin"] +
                       (["--indexed"] if kind == "indexed" else []), capture_output=True, check=True)
    with Image.open(path) as im:
        for i, frame in enumerate(animation):
            im.seek(i)
            assert same_on_screen(np.asarray(frame), np.asarray(im.convert("RGBA"))), i
            assert frame.image.tobytes() == (tmp_path / "rgba" / f"frame-{i + 1:04d}.bin").read_bytes()
            canvas = indexed[i]
            assert canvas.image.shape == frame.image.shape[:2] and canvas.delay_ms == frame.delay_ms
            assert canvas.image.tobytes() == (tmp_path / "indexed" / f"frame-{i + 1:04d}.bin").read_bytes()
    # Going back rebuilds the canvas; negative indices count from the end.
    frames = [f.image for f in animation]
    assert np.array_equal(animation[-1].image, frames[-1]) and np.array_equal(animation[0].image, frames[0])
    assert animation.duration_ms == kvlzw.gif.info(path).duration_ms == sum(f.delay_ms for f in animation)


def test_frame_timing():
    animation = kvlzw.gif.Animation(corpus_file("gif/wuffs/muybridge.gif"))
    ends = np.cumsum([f.delay_ms for f in animation])
    for ms in (0, int(ends[0]) - 1, int(ends[0]), int(ends[3]) + 1, int(ends[-1]) + 1000):
        expected = min(int(np.searchsorted(ends, ms, side="right")), len(animation) - 1)
        assert animation.frame_at(ms).index == expected, ms
    before = animation.duration_ms
    animation.default_delay_ms, animation.min_delay_ms = 250, 1000
    assert (animation.default_delay_ms, animation.min_delay_ms) == (250, 1000)
    # Every delay is now at most the minimum, so each frame shows for the default.
    assert animation.duration_ms == 250 * len(animation) != before
    assert animation[0].delay_ms == 250


# (frames, write keywords, what each page must read back as)
def _rgb(h, w, colours, seed):
    rng = np.random.default_rng(seed)
    palette = rng.integers(0, 256, (colours, 3), dtype=np.uint8)
    return palette[rng.integers(0, colours, (h, w))]


WRITES = [
    ("one indexed page", lambda: np.arange(64, dtype=np.uint8).reshape(8, 8) % 5,
     dict(palette=np.array([[0, 0, 0], [255, 0, 0], [0, 255, 0], [0, 0, 255], [9, 9, 9]], np.uint8))),
    ("2 colours (1 bit)", lambda: (np.arange(77, dtype=np.uint8).reshape(7, 11) % 2),
     dict(palette=np.array([[10, 20, 30], [200, 100, 0]], np.uint8))),
    ("256 colours, interlaced 87a", lambda: (np.arange(768) % 256).astype(np.uint8).reshape(24, 32),
     dict(palette=np.stack([np.arange(256, dtype=np.uint8)] * 3, 1), interlace=True, version="87a")),
    ("RGB, 256 colours", lambda: _rgb(40, 50, 256, 1), {}),
    ("RGBA with transparent pixels", lambda: np.dstack([_rgb(9, 13, 20, 2),
                                                         np.where(np.arange(117).reshape(9, 13) % 3, 255, 0)
                                                         .astype(np.uint8)]), {}),
    ("animation with delays, disposal, loop, comment",
     lambda: [_rgb(16, 16, 4, s) for s in range(3)],
     dict(delay_ms=[100, 20, 1000], disposal=[1, 2, 3], loop=0, comment="kvlzw test")),
    ("stack of indexed frames with a palette with alpha", lambda: np.arange(3 * 30, dtype=np.uint8).reshape(3, 5, 6) % 4,
     dict(palette=np.array([[1, 2, 3, 255], [4, 5, 6, 0], [7, 8, 9, 255], [10, 11, 12, 255]], np.uint8))),
]


@pytest.mark.parametrize("what,make,keywords", WRITES, ids=[w[0] for w in WRITES])
def test_write_then_read(what, make, keywords, tmp_path):
    frames = make()
    path = tmp_path / "out.gif"
    kvlzw.gif.write(path, frames, **keywords)
    buffer = io.BytesIO()
    kvlzw.gif.write(buffer, frames, **keywords)
    assert buffer.getvalue() == path.read_bytes()
    palette = keywords.get("palette")
    if isinstance(frames, np.ndarray) and (frames.ndim == 2 or (frames.ndim == 3 and palette is None)):
        frames = [frames]
    info = kvlzw.gif.info(path)
    assert info.page_count == len(frames) and info.version == keywords.get("version", "89a")
    assert info.loop_count == keywords.get("loop")
    for number, frame in enumerate(frames, 1):
        page = kvlzw.gif.read(path, number)
        if frame.ndim == 2:  # indices: the same colours, and transparency where the palette's alpha is 0
            rgba = np.dstack([palette[..., :3][frame], np.full(frame.shape, 255, np.uint8)])
            if palette.shape[1] == 4:
                rgba[palette[frame][..., 3] == 0] = rgba[palette[frame][..., 3] == 0] * [1, 1, 1, 0]
        else:
            rgba = frame if frame.shape[2] == 4 else np.dstack([frame, np.full(frame.shape[:2], 255, np.uint8)])
        shown = page.rgba()
        visible = rgba[..., 3] != 0
        assert np.array_equal(shown[..., 3] != 0, visible)
        assert np.array_equal(shown[visible], rgba[visible])
        assert page.interlaced == keywords.get("interlace", False)
        for key, values in (("delay_ms", keywords.get("delay_ms")), ("disposal", keywords.get("disposal"))):
            if values is not None:
                assert getattr(page, key) == values[number - 1]
    if "comment" in keywords:
        comments = [v for t, v in kvlzw.gif.read(path).tags if t == 1512 and v["kind"] == "comment"]
        assert comments[0]["data"] == keywords["comment"].encode()


def test_append(tmp_path):
    path = tmp_path / "a.gif"
    palette = np.array([[0, 0, 0], [255, 255, 255]], np.uint8)
    kvlzw.gif.write(path, np.zeros((4, 4), np.uint8), palette=palette)
    kvlzw.gif.write(path, np.ones((2, 3), np.uint8), palette=palette, append=True)
    assert [(p.width, p.height) for p in kvlzw.gif.info(path).pages] == [(4, 4), (3, 2)]
    buffer = io.BytesIO(path.read_bytes())
    kvlzw.gif.write(buffer, np.ones((5, 5), np.uint8), palette=palette, append=True)
    assert kvlzw.gif.info(buffer.getvalue()).page_count == 3
    # A failed append leaves the file as it was.
    before = path.read_bytes()
    with pytest.raises(ValueError):
        kvlzw.gif.write(path, [np.zeros((2, 2), np.uint8), _rgb(40, 40, 1000, 5)], palette=palette, append=True)
    # A GIF that breaks off inside a block cannot take a page after it.
    bad = tmp_path / "cut.gif"
    bad.write_bytes(before[:-6])
    with pytest.raises(kvlzw.Error) as raised:
        kvlzw.gif.write(bad, np.zeros((2, 2), np.uint8), palette=palette, append=True)
    assert raised.value.code == raised.value.records[0].code < 0
    assert path.read_bytes() == before and bad.read_bytes() == before[:-6]
