"""Runs every Python example of the documentation and checks the output it shows.

    python docs/run_examples.py             # every page
    python docs/run_examples.py books.md    # some pages

The ```python blocks of a page run in order as one program, so later blocks use what
earlier ones defined. A block titled with a file name (```python title="prices.py") is a
whole program and runs on its own under that name. A ```text title="Output" block right
after a Python block is what that block prints: it must match exactly.
"""
from __future__ import annotations

import argparse
import difflib
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

DOCS = Path(__file__).resolve().parent
FENCE = re.compile(r"^```(\w+)(.*)$")
TITLE = re.compile(r'title="([^"]*)"')
MARK = "\x1eblock "  # printed before each block, to split the program's output


@dataclass
class Block:
    line: int
    language: str
    title: str
    code: str
    expected: str | None = None  # the Output block that follows, if any


@dataclass
class Program:
    name: str
    blocks: list[Block] = field(default_factory=list)


def blocks_of(page: Path) -> list[Block]:
    found: list[Block] = []
    lines = page.read_text().splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        end = lines.index("```", i + 1)
        title = TITLE.search(opening.group(2))
        found.append(Block(i + 1, opening.group(1), title.group(1) if title else "",
                           "\n".join(lines[i + 1:end]) + "\n"))
        i = end + 1
    examples: list[Block] = []
    for k, block in enumerate(found):
        if block.language == "python":
            examples.append(block)
        elif block.language == "text" and block.title == "Output":
            if k == 0 or found[k - 1].language != "python":
                raise SystemExit(f"{page.name}:{block.line}: an Output block must follow a Python block")
            found[k - 1].expected = block.code
    return examples


def programs_of(page: Path) -> list[Program]:
    shared = Program(page.name)
    programs = [shared]
    for block in blocks_of(page):
        if block.title.endswith(".py"):
            programs.append(Program(block.title, [block]))
        else:
            shared.blocks.append(block)
    return [p for p in programs if p.blocks]


def normalised(text: str) -> list[str]:
    return [line.rstrip() for line in text.rstrip().splitlines()]


def run(page: Path, program: Program, workdir: Path) -> list[str]:
    """Runs one program; returns what went wrong, if anything."""
    # A whole program runs as written: processes it starts may import it again, and a mark
    # printed at its top would then come out more than once.
    whole = program.name.endswith(".py")
    source = program.blocks[0].code if whole else "".join(
        f"print({MARK!r} + {str(k)!r}, flush=True)\n{block.code}" for k, block in enumerate(program.blocks))
    script = workdir / (program.name if program.name.endswith(".py") else page.stem.replace("-", "_") + ".py")
    script.write_text(source)
    done = subprocess.run([sys.executable, script.name], cwd=workdir, capture_output=True, text=True, timeout=600)
    outputs = ["0\n" + done.stdout] if whole else done.stdout.split(MARK)[1:]
    problems = []
    if done.returncode != 0:
        ran = len(outputs) - 1
        block = program.blocks[min(max(ran, 0), len(program.blocks) - 1)]
        problems.append(f"{page.name}:{block.line}: the example failed (exit {done.returncode})\n{done.stderr}")
    for text, block in zip(outputs, program.blocks):
        number, _, printed = text.partition("\n")
        if block.expected is not None and normalised(printed) != normalised(block.expected):
            diff = "\n".join(difflib.unified_diff(normalised(block.expected), normalised(printed), "shown", "printed",
                                                  lineterm=""))
            problems.append(f"{page.name}:{block.line}: the output differs from the page\n{diff}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("pages", nargs="*", help="pages under docs/ (default: all)")
    args = parser.parse_args()
    pages = [DOCS / name for name in args.pages] or sorted(DOCS.glob("*.md"))
    problems: list[str] = []
    with tempfile.TemporaryDirectory() as workdir:
        for page in pages:
            for program in programs_of(page):
                found = run(page, program, Path(workdir))
                checked = sum(block.expected is not None for block in program.blocks)
                status = "failed" if found else "ok"
                print(f"{program.name}: {len(program.blocks)} examples, {checked} outputs checked: {status}")
                problems += found
    for problem in problems:
        print(f"\n{problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
