"""kvlzw.Error and the error records it carries."""

from __future__ import annotations

from typing import NamedTuple


class ErrorRecord(NamedTuple):
    """One error record of a call, as the host library made it."""

    code: int
    """The error code (negative)."""
    text: str
    """What went wrong, in words ("" when the record has no text)."""
    module: str
    """The source module that made the record."""
    line: int
    """The line in that module."""
    details: tuple[int, int, int]
    """Three numbers whose meaning depends on the code."""
    meaning: str
    """What the code means ("" for a code the host does not know)."""
    description: str
    """The record as one readable line."""

    def __str__(self) -> str:
        return self.description


class Error(Exception):
    """A file or stream the host library could not read or write.

    ``code`` is the host's status (the first record's code) and ``records``
    every error record of the call, oldest first.
    """

    def __init__(self, message: str, code: int = 0, records: list[ErrorRecord] | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.records = list(records or [])
