"""Reads valgrind memcheck logs and fails when an error involves the module.

Usage: python fuzz/memcheck_report.py build/valgrind/memcheck.*.log

Every report is counted by kind. The run fails on an invalid read, write or
free, a use of uninitialised memory, or a definite leak whose stack passes
through the module (its shared object, or a function of the vorn namespace).
Reports whose stacks stay in the interpreter or the C library are listed but
do not fail the run.
"""
import collections
import re
import sys

KINDS = re.compile(
    r"(Invalid (read|write|free)|Mismatched free|Conditional jump|Use of uninitialised|Syscall param"
    r"|Source and destination overlap|definitely lost|Argument .* of function)")
OURS = re.compile(r"vorn\.cpython|vorn::|/src/(read|write|common|format|module|io)/")


def blocks(path):
    """The reports of one log, each as its list of lines without the pid prefix."""
    block = []
    with open(path, errors="replace") as f:
        for line in f:
            text = re.sub(r"^==\d+==\s?", "", line.rstrip("\n"))
            if text.strip():
                block.append(text)
            elif block:
                yield block
                block = []
    if block:
        yield block


def main(paths):
    counts, ours, others, summaries = collections.Counter(), [], [], []
    for path in paths:
        for block in blocks(path):
            head = block[0]
            if head.startswith("ERROR SUMMARY"):
                summaries.append("%s: %s" % (path, head))
            match = KINDS.search(head)
            if not match:
                continue
            kind = "definitely lost" if "definitely lost" in head else match.group(1)
            counts[kind] += 1
            (ours if any(OURS.search(line) for line in block) else others).append((path, block))
    print("memcheck: %d logs; reports by kind: %s" % (len(paths), dict(counts) or "none"))
    for line in summaries:
        print("  " + line)
    leaks = [b for _, b in others if "definitely lost" in b[0]]
    if leaks:
        print("%d definite leaks of the interpreter's own (none through the module)" % len(leaks))
    for path, block in others:
        if "definitely lost" not in block[0]:
            print("\nnot involving the module (%s):\n  %s" % (path, "\n  ".join(block[:12])))
    for path, block in ours:
        print("\nINVOLVES THE MODULE (%s):\n  %s" % (path, "\n  ".join(block[:40])))
    if ours:
        print("\nmemcheck: %d report(s) involve the module" % len(ours))
        return 1
    print("memcheck: no invalid access or definite leak involves the module")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
