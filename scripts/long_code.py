#!/usr/bin/env python3
"""Lists source files under src/ longer than 600 lines and functions longer than 120 lines.

A function is a definition whose signature ends a line with "{" at some indent and whose body
closes with "}" alone at that indent (how every definition here is laid out). Exits 1 when
anything is listed. Usage: scripts/long_code.py [root]"""
import pathlib
import re
import sys

MAX_FILE, MAX_FUNCTION = 600, 120
SIGNATURE = re.compile(r"^( *)(?!(?:if|for|while|switch|else|do|try|catch|namespace|struct|class|enum|union)\b)"
                       r"[^ /#].*\)[^;]*\{$")


def functions(lines):
    for start, line in enumerate(lines):
        m = SIGNATURE.match(line)
        if not m or re.search(r"\]\s*(\(.*\))?\s*(mutable\s*)?\{$", line) or "= [" in line:
            continue
        # A signature over several lines closes at the indent of its first line.
        first = start
        while first > 0 and lines[first - 1].rstrip().endswith((",", "(", "&&", "||")):
            first -= 1
        if re.match(r" *(if|for|while|switch|return)\b", lines[first]):
            continue
        close = re.match(r" *", lines[first]).group(0) + "}"
        for end in range(start + 1, len(lines)):
            if lines[end].rstrip() in (close, close + ";"):
                yield first + 1, end - first + 1, lines[first].strip()
                break


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = False
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        lines = path.read_text(encoding="utf-8").splitlines()
        if len(lines) > MAX_FILE:
            print(f"{path}: {len(lines)} lines")
            found = True
        for at, length, signature in functions(lines):
            if length > MAX_FUNCTION:
                print(f"{path}:{at}: {length}-line function {signature[:90]}")
                found = True
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
