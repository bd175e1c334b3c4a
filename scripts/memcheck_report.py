"""Reads a valgrind memcheck log and fails on what the extension module is to blame for.

Every memory error (invalid read, write or free, use of uninitialised values)
counts wherever it happens. Leak records count only when their allocation
stack passes through the module's shared object: the interpreter itself
leaves its start-up allocations unreleased at exit by design.
"""

from __future__ import annotations

import re
import sys

ERROR_KINDS = (
    "Invalid read",
    "Invalid write",
    "Invalid free",
    "Mismatched free",
    "Conditional jump or move depends on uninitialised",
    "Use of uninitialised value",
    "Syscall param",
    "Source and destination overlap",
)
MODULE_MARK = "summarizer.cpython"
PREFIX = re.compile(r"^==\d+== ?")


def records(lines: list[str]) -> list[list[str]]:
    """Splits the log into records separated by blank valgrind lines."""
    found: list[list[str]] = []
    current: list[str] = []
    for raw in lines:
        line = PREFIX.sub("", raw.rstrip("\n"))
        if not line.strip():
            if current:
                found.append(current)
            current = []
        else:
            current.append(line)
    if current:
        found.append(current)
    return found


def main(path: str) -> int:
    with open(path, encoding="utf-8", errors="replace") as log:
        blamed = []
        for record in records(log.readlines()):
            head = record[0]
            if head.startswith(ERROR_KINDS):
                blamed.append(record)
            elif "are definitely lost" in head or "are indirectly lost" in head:
                if any(MODULE_MARK in line for line in record):
                    blamed.append(record)
    for record in blamed:
        print("\n".join(record), end="\n\n")
    print(f"memcheck: {len(blamed)} problem(s) attributable to the module or invalid accesses (log: {path})")
    return 1 if blamed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
