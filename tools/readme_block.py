"""Prints the fenced code block of a Markdown file that follows the marker line
``<!-- wheel-check: NAME -->``, so that tools/wheel_check.sh runs exactly what the README shows.

    python3 tools/readme_block.py README.md NAME

Exit status 1, with the reason on standard error, when the marker is missing or appears twice, or
when the next non-blank line after it does not open a fenced block (an edit that moved the block
away from its marker must fail the check, not make it run something else).
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})")


def marker(name: str) -> str:
    return f"<!-- wheel-check: {name} -->"


def block(text: str, name: str) -> str:
    lines = text.splitlines()
    at = [i for i, line in enumerate(lines) if line.strip() == marker(name)]
    if len(at) != 1:
        raise LookupError(f"{len(at)} lines {marker(name)!r}, expected 1")
    rest = iter(lines[at[0] + 1:])
    opening = next((line for line in rest if line.strip()), "")
    m = FENCE.match(opening)
    if not m:
        raise LookupError(f"{marker(name)!r} is not followed by a fenced code block")
    indent, fence = m.groups()
    body: list[str] = []
    for line in rest:
        if line.strip() == fence:
            return "".join(l.removeprefix(indent) + "\n" for l in body)
        body.append(line)
    raise LookupError(f"the block after {marker(name)!r} is never closed")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    path, name = argv
    try:
        sys.stdout.write(block(Path(path).read_text(encoding="utf-8"), name))
    except (OSError, LookupError) as e:
        print(f"{path}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
