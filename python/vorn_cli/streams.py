"""Files and standard streams, read and written the way Unix tools do.

Input is read in chunks and decoded incrementally, so that a file of any size
goes through in bounded memory; the last few chunks are kept so that an error
can be shown in context. Output goes either to standard output, written with
a loop that notices short writes, or to a temporary file beside the target
that is renamed over it only once the command has succeeded.

Every failure of a stream becomes a ``Failure`` whose message names the
stream ("standard output", not "-").
"""

from __future__ import annotations

import codecs
import collections
import errno
import io
import itertools
import os
import select
import stat
import sys
from collections.abc import Iterator
from typing import BinaryIO

from vorn_io._text import index_at, utf16_len

from . import compression
from .report import locate, visible

OK, DATA_ERROR, USAGE_ERROR, INTERNAL_ERROR = 0, 1, 2, 3
STDIO = "-"
BOM = "\ufeff"

# Characters decoded per read; the reader asks for its own sizes through read().
CHUNK = 1 << 16
# How many decoded chunks are kept for showing an error in context.
HISTORY = 4
# Output is handed to the system in blocks of about this many characters.
WRITE_BLOCK = 1 << 16

# Standard streams that were closed when the process started. They are held
# open on /dev/null so that no file opened later takes their number, and
# reported as closed when a command needs them.
_closed: set[int] = set()


class Failure(Exception):
    """Ends the command with a message on standard error and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def guard_standard_streams() -> None:
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            _closed.add(fd)


def stream_name(path: str, fd: int = 0) -> str:
    if path == STDIO:
        return "standard input" if fd == 0 else "standard output"
    return path


def display_name(path: str) -> str:
    """How an input is named in reports: <stdin> for standard input."""
    return "<stdin>" if path == STDIO else path


def check_encoding(name: str) -> str:
    try:
        codecs.lookup(name)
        "".encode(name)  # refuses bytes-to-bytes codecs such as base64
    except LookupError:
        raise Failure(f"unknown text encoding {name!r}", USAGE_ERROR) from None
    return name


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


class Input:
    """A text stream over a file or standard input, decoded strictly.

    ``read(n)`` returns up to n characters ("" at the end); iterating gives
    lines with their endings (any of "\\n", "\\r\\n", "\\r"). Positions of the
    text read so far are tracked so that a parser's error position, in UTF-16
    code units, can be turned into a line, a column and an excerpt without
    keeping more than the last few chunks.
    """

    def __init__(self, path: str, encoding: str, *, strip_bom: bool = False,
                 progress: Progress | None = None, track: bool = True,
                 errors: str = "strict") -> None:
        # Without track, no positions are kept: for input that is not a
        # document, whose errors are reported by its own reader.
        self.track = track
        self.path = path
        self.name = display_name(path)
        self.encoding = encoding
        self.strip_bom = strip_bom
        self.progress = progress
        self.errors = errors  # "strict", or "surrogatepass" to read encoded lone surrogates
        self._decoder = codecs.getincrementaldecoder(encoding)(errors=errors)
        self._raw: BinaryIO | None = None
        self._regular = False  # a file, whose reads never wait
        self._fed = 0  # bytes given to the decoder
        self._eof = False
        self._pending = ""  # decoded, not yet returned by read()
        self._first = True
        # Totals of the text returned so far.
        self.chars = 0
        self.units = 0  # UTF-16 code units
        self.lines = 0  # "\n" characters
        self.last_newline = -1  # index of the last "\n"
        self.widest = 1  # storage width of the widest character, in bytes
        # (start index, start unit, lines before, last newline before, text)
        self._history: collections.deque[tuple[int, int, int, int, str]] = \
            collections.deque()
        self._keep = False  # whether to keep all history (while showing an error)
        self._file: BinaryIO | None = None  # the file itself, under a decompressor
        self.compression: str | None = None
        self._head = b""  # the first bytes read, for hints about what the input is
        self.head = ""  # the first characters read, for the same
        self._file_pos = 0  # bytes of a compressed file read, for progress
        self._open()

    def _open(self) -> None:
        what = stream_name(self.path)
        if self.path == STDIO:
            if 0 in _closed:
                raise Failure("cannot read standard input: it is closed", USAGE_ERROR)
            self._raw = open(0, "rb", buffering=0, closefd=False)
        else:
            _, method = compression.split_name(self.path)
            if method is not None and method not in compression.METHODS.values():
                raise Failure(compression.unsupported(method, self.name), USAGE_ERROR)
            try:
                self._raw = open(self.path, "rb", buffering=0)
            except OSError as exc:
                raise Failure(f"cannot read {what}: {_reason(exc)}", USAGE_ERROR) from None
        self._file = self._raw
        try:
            st = os.fstat(self._raw.fileno())
            self._regular = stat.S_ISREG(st.st_mode) or stat.S_ISBLK(st.st_mode)
            if self.progress is not None and stat.S_ISREG(st.st_mode):
                self.progress.start(st.st_size - self._raw.tell())
        except OSError:
            pass
        if self.path == STDIO:
            # Standard input is decompressed when its first bytes say so.
            head = self._read_head()
            method = compression.sniff(head)
            if method is not None and method not in compression.METHODS.values():
                raise Failure(compression.unsupported(method, self.name), USAGE_ERROR)
            self._raw = _Prefixed(head, self._raw)  # type: ignore[assignment]
        if method is not None:
            self.compression = method
            self._raw = compression.reader(self._raw, method)  # type: ignore[arg-type]
            self._regular = True  # the decompressor waits for its input itself

    def _read_head(self) -> bytes:
        assert self._raw is not None
        head = b""
        while len(head) < compression.MAGIC_SIZE:
            try:
                data = self._raw.read(compression.MAGIC_SIZE - len(head))
            except OSError as exc:
                raise Failure(f"cannot read {stream_name(self.path)}: {_reason(exc)}",
                              USAGE_ERROR) from None
            if data is None:
                select.select([self._raw], [], [])
                continue
            if not data:
                break
            head += data
        return head

    def _ready(self) -> bool:
        """Whether reading more would not wait."""
        if self._regular or self._eof:
            return True
        assert self._raw is not None
        try:
            return bool(select.select([self._raw.fileno()], [], [], 0)[0])
        except (OSError, ValueError):
            return True

    def close(self) -> None:
        if self._raw is not None and self._raw is not self._file:
            try:
                self._raw.close()  # the decompressor; the file stays open for it
            except Exception:
                pass
        if self._file is not None and self.path != STDIO:
            self._file.close()
        self._raw = self._file = None

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _read_bytes(self) -> bytes:
        assert self._raw is not None
        try:
            data = self._raw.read(CHUNK)
        except Exception as exc:
            if self.compression is not None and (
                    isinstance(exc, compression.read_errors())
                    or (isinstance(exc, OSError) and exc.errno is None)):
                raise Failure(f"{self.name}: not valid {self.compression} data "
                              f"({exc or 'it ends too soon'})", DATA_ERROR) from None
            if isinstance(exc, OSError):
                raise Failure(f"cannot read {stream_name(self.path)}: {_reason(exc)}",
                              USAGE_ERROR) from None
            raise
        if data is None:  # a non-blocking descriptor with nothing ready
            select.select([self._raw], [], [])
            return self._read_bytes()
        if not self._head:
            self._head = data[:16]
        if self.progress is not None:
            if self.compression is not None and self.path != STDIO:
                try:
                    pos = self._file.tell()  # type: ignore[union-attr]
                except OSError:
                    pos = self._file_pos
                self.progress.advance(pos - self._file_pos)
                self._file_pos = pos
            else:
                self.progress.advance(len(data))
        return data

    def _decode_more(self) -> bool:
        """Decodes the next block of input into _pending; False at the end."""
        text = self._decode_next()
        if text:
            self._pending += text
            return True
        return False

    def _decode_next(self) -> str:
        """The next block of decoded input; "" at the end."""
        while not self._eof:
            data = self._read_bytes()
            final = not data
            self._eof = final
            buffered = self._decoder.getstate()[0]
            start = self._fed - len(buffered)
            try:
                text = self._decoder.decode(data, final)
            except UnicodeDecodeError as exc:
                offset = start + exc.start
                byte = exc.object[exc.start] if exc.start < len(exc.object) else None
                shown = f"byte 0x{byte:02x}" if byte is not None else "the last bytes"
                hint = self._decode_hint(exc)
                raise Failure(f"{self.name}: not valid {self.encoding}: {shown} "
                              f"at offset {offset} ({exc.reason})"
                              + (f"\nhint: {hint}" if hint else ""), DATA_ERROR) from None
            self._fed += len(data)
            if self._first and text:
                self._first = False
                if text.startswith(BOM) and self.strip_bom:
                    text = text[1:]
            if text:
                return text
        return ""

    def _decode_hint(self, exc: UnicodeDecodeError) -> str | None:
        """What the bytes that could not be decoded look like, when that is clear."""
        method = compression.sniff(self._head) if self.compression is None else None
        if method is not None:
            if method in compression.METHODS.values():
                suffix = next(k for k, v in compression.METHODS.items() if v == method)
                return (f"the input looks {method}-compressed; vorn decompresses files named "
                        f"*{suffix} and compressed standard input")
            return compression.unsupported(method, "the input").split("\nhint: ")[1]
        if self._head.startswith((b"\xff\xfe", b"\xfe\xff")):
            return "the input starts with a UTF-16 byte-order mark: give --input-encoding utf-16"
        if codecs.lookup(self.encoding).name != "utf-8":
            return None
        if exc.object[exc.start:exc.start + 1] == b"\xed" and \
                0xa0 <= exc.object[exc.start + 1:exc.start + 2].ljust(1, b"\0")[0] <= 0xbf:
            # ED A0..BF xx is a surrogate encoded as UTF-8 would encode it.
            return ("the input holds a lone surrogate encoded as UTF-8 (bytes ED "
                    f"{exc.object[exc.start + 1]:02X} ...): give --errors surrogatepass to "
                    "read it")
        piece = exc.object[max(exc.start - 64, 0):exc.start + 64]
        if b"\0" in piece:
            return None
        try:
            piece.decode("cp1252")
        except UnicodeDecodeError:
            return "the input may be in another encoding: name it with --input-encoding"
        return ("the input looks like Latin-1 or cp1252 text: give --input-encoding cp1252 "
                "(or latin-1)")

    def peek(self, n: int) -> str:
        """Up to n characters from the start of what read() gives next."""
        while len(self._pending) < n and self._decode_more():
            pass
        return self._pending[:n]

    def read(self, n: int = -1) -> str:
        if n is None or n < 0:
            parts = [self._pending]
            while part := self._decode_next():
                parts.append(part)
            text, self._pending = "".join(parts), ""
        elif len(self._pending) >= n:
            text, self._pending = self._pending[:n], self._pending[n:]
        else:
            # n characters, as a file gives them; from a pipe or a terminal,
            # what has arrived once something has, so that rows are handed
            # on as soon as their text is in.
            parts, have = [self._pending], len(self._pending)
            while have < n and (not have or self._ready()):
                part = self._decode_next()
                if not part:
                    break
                parts.append(part)
                have += len(part)
            text = "".join(parts)
            text, self._pending = (text[:n], text[n:]) if have > n else (text, "")
        if text:
            self._record(text)
        return text

    def read_some(self) -> str:
        """What is decoded next, in whatever size it comes ("" at the end):
        read(n) without the copies that cutting to n characters takes."""
        text, self._pending = self._pending, ""
        if not text:
            text = self._decode_next()
        if text:
            self._record(text)
        return text

    def _record(self, text: str) -> None:
        if not self.head:
            self.head = text[:4096]
        if not self.track:
            return
        self._history.append((self.chars, self.units, self.lines, self.last_newline, text))
        if len(self._history) > HISTORY and not self._keep:
            self._history.popleft()
        newlines = text.count("\n")
        if newlines:
            self.lines += newlines
            self.last_newline = self.chars + text.rfind("\n")
        self.chars += len(text)
        if text.isascii():
            self.units += len(text)
            return
        # Whole-string encodings, done in C, rather than a look at each
        # character: a character above U+FFFF takes two UTF-16 units, and one
        # above U+00FF fails Latin-1.
        units = utf16_len(text)
        self.units += units
        if units != len(text):
            self.widest = 4
        elif self.widest == 1:
            try:
                text.encode("latin-1")
            except UnicodeEncodeError:
                self.widest = 2

    def __iter__(self) -> Iterator[str]:
        # Lines are handed on a chunk's worth at a time, so that a reader
        # taking them one by one runs no Python code per line.
        return itertools.chain.from_iterable(self._line_lists())

    def _line_lists(self) -> Iterator[list[str]]:
        parts: list[str] = []  # an unfinished line, in pieces (joined once it ends)
        while True:
            chunk = self.read_some()
            if not chunk:
                if parts:
                    yield ["".join(parts)]
                return
            if "\n" not in chunk and "\r" not in chunk:
                if parts and parts[-1].endswith("\r"):  # a whole line, ended by "\r"
                    yield ["".join(parts)]
                    parts = []
                parts.append(chunk)
                continue
            lines = io.StringIO(chunk, newline="").readlines()
            del chunk
            if parts:
                # The unfinished line goes in front of the chunk's first line,
                # unless it ended in "\r" not followed by "\n": then it is whole.
                head = "".join(parts)
                parts = []
                if head.endswith("\r") and lines[0] != "\n":
                    lines.insert(0, head)
                else:
                    lines[0] = head + lines[0]
                del head  # a long line is not held twice while it is read
            if not lines[-1].endswith("\n"):
                # An unfinished line, or one ending in "\r" that may be the
                # first half of "\r\n": wait for the next chunk.
                parts = [lines.pop()]
            if lines:
                yield lines

    # --- Context for error reports --------------------------------------------

    def window(self, unit: int, margin: int = 200) -> Window | None:
        """The text around UTF-16 offset unit, if it is still held.

        The text up to margin characters after it is read from the stream
        when needed; text before the oldest chunk kept is gone.
        """
        self._keep = True
        while self.units <= unit + margin and self._more_context():
            pass
        for start, start_unit, lines_before, newline_before, text in self._history:
            end_unit = start_unit + utf16_len(text)
            if start_unit <= unit < end_unit or (unit >= end_unit and end_unit == self.units):
                i = index_at(text, unit - start_unit)
                return self._window_at(start + i, margin)
        return None

    def _more_context(self) -> bool:
        try:
            return bool(self.read(CHUNK))
        except Failure:
            return False

    def _window_at(self, index: int, margin: int) -> Window | None:
        chunks = list(self._history)
        first, lines_before, newline_before = chunks[0][0], chunks[0][2], chunks[0][3]
        if index < first:
            return None
        text = "".join(c[4] for c in chunks)
        at = index - first
        newline = text.rfind("\n", 0, at)
        if newline >= 0:
            line_start = first + newline + 1
            line = lines_before + text.count("\n", 0, at) + 1
        else:
            line_start = newline_before + 1
            line = lines_before + 1
        lo = max(line_start - first, at - margin, 0)
        if at < len(text) and text[at] == "\n":
            hi, cut_after = at + 1, False  # the offending character is the line feed itself
        else:
            end = text.find("\n", at)
            hi = min(len(text) if end == -1 else end, at + margin)
            cut_after = (text[hi] != "\n") if hi < len(text) else not self._eof
        rest = text[at:at + 3]  # at most "\r\n" after a line break, then the end
        return Window(index=index, line=line, column=index - line_start + 1,
                      text=text[lo:hi], at=at - lo, cut_before=first + lo > line_start,
                      cut_after=cut_after,
                      trailing_break=bool(rest) and not rest.strip("\r\n") and len(text) - at < 3
                      and self._eof)


class _Prefixed:
    """A raw stream that gives some bytes already read before the rest of it."""

    def __init__(self, head: bytes, raw: BinaryIO) -> None:
        self._head, self._raw = head, raw

    def read(self, n: int = -1) -> bytes | None:
        if self._head:
            data = self._head if n < 0 else self._head[:n]
            self._head = self._head[len(data):]
            return data
        return self._raw.read(n)

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._raw.fileno()

    def close(self) -> None:
        pass


class Window:
    """A piece of one line of the input around an error."""

    def __init__(self, *, index: int, line: int, column: int, text: str, at: int,
                 cut_before: bool, cut_after: bool, trailing_break: bool) -> None:
        self.index, self.line, self.column = index, line, column
        self.text, self.at = text, at
        self.cut_before, self.cut_after = cut_before, cut_after
        # The error is a line break with nothing but line breaks after it.
        self.trailing_break = trailing_break


class Output:
    """Where a command writes: standard output or a file written whole.

    Text is encoded incrementally (a stateful encoding such as UTF-16 writes
    its byte-order mark once) and handed to the system in blocks. A file is
    written to a temporary file beside it and renamed over it by
    ``commit()``; ``discard()`` removes the temporary file. A target that
    exists and is not a regular file (a device, a pipe) is written directly.
    """

    def __init__(self, path: str, encoding: str, errors: str = "strict") -> None:
        self.path = path
        self.name = stream_name(path, 1)
        self.encoding = encoding
        self._encoder = codecs.getincrementalencoder(encoding)(errors=errors)
        self._buffer: list[str] = []
        self._buffered = 0
        self._lines = 0  # "\n" characters encoded so far
        self._column = 0  # characters since the last "\n"
        self._temp: str | None = None
        self._fd = -1
        self._own = False
        # Files named *.gz, *.bz2, *.xz are written compressed.
        method = compression.split_name(path)[1] if path != STDIO else None
        if method is not None and method not in compression.METHODS.values():
            raise Failure(compression.unsupported(method, self.name), USAGE_ERROR)
        self._compressor = compression.compressor(method) if method else None
        self._open()

    def _open(self) -> None:
        if self.path == STDIO:
            if 1 in _closed:
                raise Failure("cannot write standard output: it is closed", USAGE_ERROR)
            self._fd = 1
            return
        # A symbolic link stays in place: the file it points to is replaced.
        self._target = os.path.realpath(self.path)
        mode: int | None = None
        try:
            st = os.stat(self._target)
            direct = not stat.S_ISREG(st.st_mode)
            mode = stat.S_IMODE(st.st_mode)
        except FileNotFoundError:
            direct = False
        except OSError as exc:
            raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None
        try:
            if direct:
                self._fd = os.open(self._target, os.O_WRONLY)
            else:
                folder, base = os.path.split(self._target)
                import tempfile  # only commands that write files need it

                self._fd, self._temp = tempfile.mkstemp(dir=folder, prefix=f".{base}.",
                                                        suffix=".part")
                if mode is None:  # a new file gets the mode that open() would give it
                    umask = os.umask(0)
                    os.umask(umask)
                    mode = 0o666 & ~umask
                os.fchmod(self._fd, mode)
            self._own = True
        except OSError as exc:
            raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None

    def write(self, text: str) -> None:
        self._buffer.append(text)
        self._buffered += len(text)
        if self._buffered >= WRITE_BLOCK:
            self.flush()

    def flush(self, final: bool = False) -> None:
        if len(self._buffer) > 1 and self._buffered > 8 * WRITE_BLOCK:
            # Large pieces (a long cell) are encoded one by one, not joined first.
            pieces, self._buffer = self._buffer, []
            self._buffered = 0
            last = pieces.pop()
            for piece in pieces:
                self._buffer.append(piece)
                self._flush_buffer(False)
            self._buffer.append(last)
            del pieces
        self._flush_buffer(final)

    def _flush_buffer(self, final: bool) -> None:
        text = "".join(self._buffer)
        self._buffer.clear()
        self._buffered = 0
        try:
            data = self._encoder.encode(text, final)
        except UnicodeEncodeError as exc:
            raise self._encode_failure(exc) from None
        newlines = text.count("\n")
        if newlines:
            self._lines += newlines
            self._column = len(text) - text.rfind("\n") - 1
        else:
            self._column += len(text)
        del text  # a large cell is not held three times over
        if self._compressor is not None:
            data = self._compressor.compress(data)
            if final:
                data += self._compressor.flush()
        self._write_bytes(data)

    def _encode_failure(self, exc: UnicodeEncodeError) -> Failure:
        ch = exc.object[exc.start]
        what = "a lone surrogate" if "\ud800" <= ch <= "\udfff" else "the character"
        loc = locate(exc.object, exc.start)
        line = self._lines + loc.line
        column = loc.column + (self._column if loc.line == 1 else 0)
        return Failure(f"cannot write {what} '{visible(ch)}' (U+{ord(ch):04X}) in "
                       f"{self.encoding}, at line {line}, column {column} of the output",
                       DATA_ERROR)

    def _write_bytes(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            try:
                done = os.write(self._fd, view)
            except BlockingIOError:
                select.select([], [self._fd], [])
                continue
            except BrokenPipeError:
                raise
            except OSError as exc:
                raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None
            if done == 0:
                raise Failure(f"cannot write {self.name}: nothing written", USAGE_ERROR)
            view = view[done:]

    def commit(self) -> None:
        """Writes what is left and, for a file, puts it in place."""
        self.flush(final=True)
        if self._temp is not None:
            try:
                os.fsync(self._fd)
            except OSError as exc:
                if exc.errno not in (errno.EINVAL, errno.EROFS):
                    raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None
            self._close()
            try:
                os.replace(self._temp, self._target)
            except OSError as exc:
                raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None
            self._temp = None
        else:
            self._close()

    def _close(self) -> None:
        if self._own and self._fd >= 0:
            fd, self._fd = self._fd, -1
            try:
                os.close(fd)
            except OSError as exc:
                raise Failure(f"cannot write {self.name}: {_reason(exc)}", USAGE_ERROR) from None

    def discard(self) -> None:
        """Drops a file's output; standard output gets what it was given."""
        if self._temp is None and self._fd >= 0 and self._buffer:
            try:
                self.flush(final=True)
            except (Failure, BrokenPipeError):
                pass
        try:
            self._close()
        except Failure:
            pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass
            self._temp = None


class Progress:
    """Bytes read, rate and time left on standard error, when it is a terminal."""

    def __init__(self, label: str, enabled: bool) -> None:
        self.label = label
        self.enabled = enabled
        self._bar = None

    @staticmethod
    def wanted(quiet: bool) -> bool:
        if quiet or 2 in _closed:
            return False
        try:
            return os.isatty(2)
        except OSError:
            return False

    def start(self, total: int | None) -> None:
        if not self.enabled or self._bar is not None:
            return
        from tqdm import tqdm  # type: ignore[import-untyped]

        self._bar = tqdm(total=total or None, desc=self.label, unit="B", unit_scale=True,
                         unit_divisor=1024, file=sys.stderr, leave=False, delay=0.5,
                         dynamic_ncols=True)

    def advance(self, n: int) -> None:
        if self._bar is None and self.enabled:
            self.start(None)
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            try:
                self._bar.close()
            except OSError:
                pass
            self._bar = None
