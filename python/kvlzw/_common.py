"""What the modules share: sources, destinations and the limits of a call."""

from __future__ import annotations

import os
import tempfile
from typing import IO, Union

#: The largest image decoded, in pixels, unless ``max_pixels=`` says otherwise
#: (as image libraries guard against decompression bombs).
DEFAULT_MAX_PIXELS = 89478485
#: What one call may allocate, in bytes, unless ``max_memory=`` says otherwise.
DEFAULT_MAX_MEMORY = 1 << 30

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes]]
Destination = Union[str, "os.PathLike[str]", IO[bytes]]


def source(src: object) -> object:
    """A path (str) the host opens itself, or a bytes-like object."""
    if isinstance(src, (str, os.PathLike)):
        path = os.fsdecode(src)
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or directory", path)
        if os.path.isdir(path):
            raise IsADirectoryError(21, "Is a directory", path)
        return path
    if hasattr(src, "read"):
        data = src.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("src is a file object in text mode: open it with 'rb'")
        return data
    try:
        memoryview(src)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"src must be a path, a bytes-like object or a binary file object, not {type(src).__name__}"
        ) from None
    return src


def limits(max_pixels: int | None, max_memory: int | None) -> tuple[int, int]:
    """The checked limits, with the defaults for None."""
    pixels = DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels
    memory = DEFAULT_MAX_MEMORY if max_memory is None else max_memory
    for name, value in (("max_pixels", pixels), ("max_memory", memory)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int")
        if value <= 0 or value >= 1 << 64:
            raise ValueError(f"{name} must be a positive number below 2**64")
    return pixels, memory


def is_destination_file(dst: object) -> bool:
    return hasattr(dst, "write")


def existing_bytes(dst: object) -> bytes | None:
    """What a destination holds now, to append to (None when nothing)."""
    if is_destination_file(dst):
        dst.seek(0)  # type: ignore[union-attr]
        data = dst.read()  # type: ignore[union-attr]
        return bytes(data) if data else None
    path = os.fsdecode(dst)  # type: ignore[arg-type]
    try:
        with open(path, "rb") as f:
            return f.read() or None
    except FileNotFoundError:
        return None


def write_whole(dst: object, data: bytes, replace: bool) -> None:
    """Writes data to the destination: a path is replaced whole or not at all;
    a file object gets it at its position, or (replace) in place of what it held."""
    if is_destination_file(dst):
        if replace:
            dst.seek(0)  # type: ignore[union-attr]
            dst.truncate()  # type: ignore[union-attr]
        dst.write(data)  # type: ignore[union-attr]
        return
    if not isinstance(dst, (str, os.PathLike)):
        raise TypeError(f"dst must be a path or a binary file object, not {type(dst).__name__}")
    path = os.path.realpath(os.fsdecode(dst))
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", path)
    # Replacing the file would succeed where writing it is not allowed.
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise PermissionError(13, "Permission denied", path)
    directory = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(prefix=".kvlzw-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        if os.path.exists(path):
            os.chmod(temporary, os.stat(path).st_mode & 0o7777)
        else:
            os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask() -> int:
    # Read, not set and reset: another thread may be creating files.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022
