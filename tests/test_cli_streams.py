"""The vorn command on closed, full and broken streams, as a shell runs it."""

import fcntl
import importlib.util
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import pytest

import vorn

VORN = Path(sys.executable).with_name("vorn")
# Enough rows that output goes out in many blocks.
BIG = vorn.stringify([[f"cell {i}", "x" * (i % 50)] for i in range(60_000)])


def shell(script, cwd, stdin=None):
    """Runs a bash script with $VORN set; returns (status, stdout, stderr)."""
    done = subprocess.run(["bash", "-c", script], cwd=cwd, capture_output=True, input=stdin,
                          env=dict(os.environ, VORN=str(VORN)))
    assert b"Traceback" not in done.stderr and b"Exception ignored" not in done.stderr
    return done.returncode, done.stdout, done.stderr.decode()


@pytest.fixture
def big(tmp_path):
    (tmp_path / "big.vorn").write_text(BIG, encoding="utf-8", newline="")
    (tmp_path / "ok.vorn").write_text("01a;", encoding="utf-8")
    return tmp_path


@pytest.mark.parametrize("script, message", [
    ('"$VORN" check <&-', "vorn check: cannot read standard input: it is closed"),
    ('"$VORN" encode --from csv <&-', "vorn encode: cannot read standard input: it is closed"),
    ('"$VORN" decode ok.vorn >&-', "vorn decode: cannot write standard output: it is closed"),
    ('"$VORN" check ok.vorn >&-', "vorn check: cannot write standard output: it is closed"),
    ('"$VORN" --help >&-', "vorn: cannot write standard output: it is closed"),
    ('"$VORN" check ok.vorn big.vorn > /dev/full',
     "vorn check: cannot write standard output: No space left on device"),
    ('"$VORN" decode big.vorn > /dev/full',
     "vorn decode: cannot write standard output: No space left on device"),
    ('"$VORN" stats --help > /dev/full',
     "vorn: cannot write standard output: No space left on device"),
    ('"$VORN" decode big.vorn -o /dev/full',
     "vorn decode: cannot write /dev/full: No space left on device"),
    ('"$VORN" check .', "vorn check: cannot read .: Is a directory"),
])
def test_unusable_streams_give_one_line_and_status_2(script, message, big):
    status, _, err = shell(script, big)
    assert (status, err.splitlines()) == (2, [message])


def test_a_closed_standard_error_is_no_trouble(big):
    status, _, err = shell('"$VORN" check missing.vorn 2>&-; echo $? >&2', big)
    assert (status, err) == (0, "2\n")


def test_a_broken_pipe_ends_quietly_as_sigpipe_does(big):
    status, out, err = shell('"$VORN" decode big.vorn | head -1; echo "${PIPESTATUS[0]}"', big)
    assert out.decode().splitlines() == ["cell 0,", str(128 + signal.SIGPIPE)] and err == ""
    # A reader that is gone before anything is written.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run([VORN, "check", "ok.vorn"], cwd=big, stdout=write_end,
                              stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert (done.returncode, done.stderr) == (-signal.SIGPIPE, b"")


@pytest.mark.skipif(importlib.util.find_spec("vorn_io") is None,
                    reason="reading as the input arrives needs vorn_io")
def test_first_line_comes_before_the_input_ends(tmp_path):
    # The document arrives in two parts; the rows of the first are written
    # out while the second is still awaited.
    proc = subprocess.Popen([VORN, "decode"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    go_on = threading.Event()

    def feed():
        try:
            proc.stdin.write(BIG[:400_000].encode())
            proc.stdin.flush()
            go_on.wait(20)
            proc.stdin.write(BIG[400_000:].encode())
            proc.stdin.close()
        except BrokenPipeError:
            pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        assert ready and proc.stdout.read1(100).startswith(b"cell 0,\ncell 1,x\n")
    finally:
        go_on.set()
        proc.kill()
        feeder.join()
        proc.wait()


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_a_write_limit_leaves_no_file(command, big):
    source = "big.vorn"
    if command == "encode":
        shell('"$VORN" decode big.vorn -o big.csv', big)
        source = "big.csv"
    (big / "old.out").write_text("kept")
    status, out, err = shell(f'ulimit -f 100; "$VORN" {command} {source} -o new.out; '
                             f'"$VORN" {command} {source} -o old.out', big)
    assert status == 2 and err.count("File too large") == 2
    assert not (big / "new.out").exists() and (big / "old.out").read_text() == "kept"
    assert not [p for p in big.iterdir() if p.name.startswith(".")]  # no temporary left


def test_a_table_refused_half_way_leaves_no_file(tmp_path):
    (tmp_path / "t.csv").write_text("a,b\n" * 50_000 + 'c,"d\n')
    (tmp_path / "out.vorn").write_text("kept")
    done = subprocess.run([VORN, "encode", "t.csv", "-o", "out.vorn"], cwd=tmp_path,
                          capture_output=True)
    assert done.returncode == 1 and "line 50001" in done.stderr.decode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.vorn", "t.csv"]
    assert (tmp_path / "out.vorn").read_text() == "kept"


def test_output_file_modes_and_links(big):
    shell('umask 022; "$VORN" decode ok.vorn -o out.csv', big)
    assert (big / "out.csv").stat().st_mode & 0o777 == 0o644
    # Replacing a file keeps its mode; a link keeps pointing at the new file.
    (big / "out.csv").chmod(0o600)
    (big / "link.csv").symlink_to("out.csv")
    shell('"$VORN" decode big.vorn -o link.csv', big)
    assert (big / "link.csv").is_symlink() and (big / "out.csv").stat().st_mode & 0o777 == 0o600
    assert (big / "out.csv").read_bytes().startswith(b"cell 0,\ncell 1,x\n")


def test_termination_leaves_no_temporary_file(tmp_path):
    proc = subprocess.Popen([VORN, "encode", "--from", "csv", "-o", "out.vorn"], cwd=tmp_path,
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(b"a,b\n" * 1000)
    proc.stdin.flush()
    deadline = time.monotonic() + 10
    while not any(tmp_path.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)  # until the temporary file is there
    proc.terminate()
    assert proc.wait(30) == 128 + signal.SIGTERM
    proc.stdin.close()
    assert proc.stderr.read() == b"" and not any(tmp_path.iterdir())


def test_progress_only_on_a_terminal(tmp_path):
    def stderr_of(*options):
        leader, follower = pty.openpty()
        # A terminal of 100 columns (a new one has none, and nothing fits).
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
        proc = subprocess.Popen([VORN, "encode", "--from", "csv", *options],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=follower)
        os.close(follower)
        proc.stdin.write(b"a,b\n" * 10_000)
        proc.stdin.flush()
        time.sleep(1.2)  # long enough for the display to start
        proc.stdin.write(b"c,d\n" * 10_000)
        proc.stdin.close()
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal is gone with the process
                break
            if not chunk:
                break
            shown += chunk
        os.close(leader)
        assert proc.wait() == 0
        return shown.decode()

    shown = stderr_of()
    assert "vorn encode: 78.1kB" in shown and "B/s]" in shown
    assert stderr_of("--quiet") == ""


GARBAGE = [
    bytes(range(256)),
    b"\x00" * 100,
    b"[" * 50 + b"1e999999" + b"]" * 50,
    b'[["' + b"\\ud800" * 3 + b'"]]',
    b'"unclosed,\n' * 3,
    b"f" + b"9" * 16 + b";",
    "\ufeff[[]]".encode("utf-16"),
]


@pytest.mark.parametrize("command", [["encode"], ["encode", "--from", "tsv", "--escape"],
                                     ["decode", "--to", "tsv"], ["encode", "--comment", "#"],
                                     ["encode", "--from", "json", "--json-key", "k"],
                                     ["encode", "--nested", "json", "--errors", "surrogatepass"],
                                     ["head", "--errors", "surrogatepass"]])
@pytest.mark.parametrize("data", GARBAGE, ids=range(len(GARBAGE)))
def test_no_input_gives_a_traceback(command, data, tmp_path):
    done = subprocess.run([VORN, *command], input=data, capture_output=True, cwd=tmp_path)
    assert done.returncode in (0, 1, 2), done.stderr
    assert b"Traceback" not in done.stderr and b"internal error" not in done.stderr
    if done.returncode:
        assert done.stderr.startswith(f"vorn {command[0]}: ".encode())


MEASURE = """
import os, sys
pid = os.posix_spawn(sys.argv[1], sys.argv[1:], os.environ,
                     file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("PYTHONMALLOC")),
                    reason="resident sizes mean nothing under the sanitizer's or the debug allocator")
def test_memory_stays_bounded(tmp_path):
    # 12 MB of short cells: held whole, the table alone would take over 100 MB.
    rows = [["w%d" % (i % 1000), "x" * (i % 9), "42"] for i in range(20_000)]
    with (tmp_path / "big.vorn").open("w", encoding="utf-8", newline="") as f:
        piece = vorn.stringify(rows)
        while f.tell() < 12_000_000:
            f.write(piece)

    def peak_mib(*args):
        # A child's peak counts that of the process it was started from, so
        # the command is started from a small one rather than from pytest.
        done = subprocess.run([sys.executable, "-c", MEASURE, VORN, *args], cwd=tmp_path,
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return int(done.stdout) / 1024

    assert peak_mib("check", "big.vorn") < 60
    assert peak_mib("decode", "big.vorn", "-o", "big.csv") < 60
    assert peak_mib("encode", "big.csv", "-o", "again.vorn") < 60
    assert (tmp_path / "again.vorn").read_bytes() == (tmp_path / "big.vorn").read_bytes()
