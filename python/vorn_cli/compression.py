"""Compressed files: which ones the tool reads and writes, and how.

Files are read and written compressed by the last part of their name (.gz,
.bz2, .xz), with the standard library's codecs; standard input is
decompressed when it starts with the magic bytes of one of them. Names and
magic bytes of formats the tool does not read are known too, so that such
input is refused with a hint instead of as text that is not valid UTF-8.
"""

from __future__ import annotations

import os
from typing import BinaryIO, Protocol

# The codecs are imported when first needed, to keep the start of every
# command that reads plain text short.

METHODS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz"}
# The first bytes of each; zstd and zip are only recognised, to be refused.
MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"),
         (b"\x28\xb5\x2f\xfd", "zstd"), (b"PK\x03\x04", "zip"))
MAGIC_SIZE = 6
# Compressions that are recognised by name and refused.
UNREAD = {".zst": "zstd", ".zstd": "zstd", ".zip": "zip", ".7z": "7z", ".lz4": "lz4",
          ".z": "compress", ".lz": "lzip", ".br": "brotli"}
DECOMPRESS = {"gzip": "gzip -dc", "bzip2": "bzip2 -dc", "xz": "xz -dc", "zstd": "zstd -dc",
              "zip": "unzip -p", "7z": "7z x -so", "lz4": "lz4 -dc", "compress": "gzip -dc",
              "lzip": "lzip -dc", "brotli": "brotli -dc"}


class CompressionError(ValueError):
    """A compressed stream that cannot be read, or a compression not supported."""


def split_name(path: str) -> tuple[str, str | None]:
    """path without its compression suffix, and the compression it names."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix in METHODS:
        return path[: -len(suffix)], METHODS[suffix]
    if suffix in UNREAD:
        return path[: -len(suffix)], UNREAD[suffix]
    return path, None


def sniff(head: bytes) -> str | None:
    """The compression whose magic bytes head starts with."""
    for magic, method in MAGIC:
        if head.startswith(magic):
            return method
    return None


def unsupported(method: str, name: str) -> str:
    """Why a compression is refused, with the command that undoes it."""
    return (f"{name} is {method}-compressed, which vorn does not read or write (it reads "
            f".gz, .bz2 and .xz)\nhint: decompress it first: {DECOMPRESS.get(method, method)} "
            f"FILE | vorn ...")


def reader(raw: BinaryIO, method: str) -> BinaryIO:
    """A binary stream of the decompressed bytes of raw."""
    if method == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if method == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "rb")  # type: ignore[return-value]
    if method == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")  # type: ignore[return-value]
    raise CompressionError(method)


def read_errors() -> tuple[type[Exception], ...]:
    """What the decompressors raise on a damaged or truncated stream."""
    import gzip
    import lzma
    import zlib

    return (EOFError, zlib.error, lzma.LZMAError, gzip.BadGzipFile)


class Compressor(Protocol):
    def compress(self, data: bytes, /) -> bytes: ...
    def flush(self) -> bytes: ...


def compressor(method: str) -> Compressor:
    if method == "gzip":
        import zlib

        # wbits 31: the gzip container, as gzip(1) writes it.
        return zlib.compressobj(6, zlib.DEFLATED, 31)
    if method == "bzip2":
        import bz2

        return bz2.BZ2Compressor(9)
    if method == "xz":
        import lzma

        return lzma.LZMACompressor(lzma.FORMAT_XZ)
    raise CompressionError(method)
