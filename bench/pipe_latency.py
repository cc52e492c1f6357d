"""How soon vorn_io.reader hands over a row that arrives through a pipe: the
time from a writer process's flush of the row's ";" to the reader yielding
it, over ROWS rows written 10 ms apart. Prints the median and the largest.

    python bench/pipe_latency.py [ROWS]
"""

import statistics
import subprocess
import sys
import time

import vorn_io

WRITER = """
import sys, time
for i in range({rows}):
    time.sleep(0.01)
    cell = str(time.perf_counter_ns()).encode()
    sys.stdout.buffer.write(b"1%02d" % len(cell) + cell + b";")
    sys.stdout.buffer.flush()
"""


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    proc = subprocess.Popen([sys.executable, "-c", WRITER.format(rows=rows)], stdout=subprocess.PIPE)
    assert proc.stdout is not None
    delays = [(time.perf_counter_ns() - int(row[0])) / 1e6 for row in vorn_io.reader(proc.stdout)]
    proc.wait()
    print(f"{len(delays)} rows through a pipe: median {statistics.median(delays):.3f} ms, "
          f"largest {max(delays):.3f} ms from the writer's flush to the reader's row")


if __name__ == "__main__":
    main()
