"""Binary streams for the readers' tests."""

from __future__ import annotations

import io


class Trickle(io.RawIOBase):
    """A binary file that hands over at most `step` bytes per read, so that
    rows and cells end up split across reads at every offset."""

    def __init__(self, data: bytes, step: int) -> None:
        self._data, self._at, self._step = data, 0, step

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: object) -> int:
        view = memoryview(buffer)  # type: ignore[arg-type]
        n = min(self._step, len(view), len(self._data) - self._at)
        view[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n
