"""kvlzw: GIF pages, animations and TIFF LZW as numpy arrays.

- :mod:`kvlzw.gif`: :func:`~kvlzw.gif.info`, :func:`~kvlzw.gif.read`,
  :class:`~kvlzw.gif.Animation`, :func:`~kvlzw.gif.write`
- :mod:`kvlzw.tiff`: :func:`~kvlzw.tiff.read`, :func:`~kvlzw.tiff.info`
- :mod:`kvlzw.lzw`: :func:`~kvlzw.lzw.encode`, :func:`~kvlzw.lzw.decode`
- :mod:`kvlzw.tifffile`: :func:`~kvlzw.tifffile.register`

Sources are paths, bytes-like objects or binary file objects. Failures of
the host library raise :class:`Error`, which carries the error code and
every error record of the call; bad arguments raise ValueError or TypeError.
The work runs without the GIL.
"""

from ._errors import Error, ErrorRecord
from . import _native, gif, lzw, tiff, tifffile
from ._common import DEFAULT_MAX_MEMORY, DEFAULT_MAX_PIXELS

__all__ = ["Error", "ErrorRecord", "gif", "tiff", "lzw", "tifffile", "DEFAULT_MAX_PIXELS", "DEFAULT_MAX_MEMORY"]
__version__ = "19.2.0"
