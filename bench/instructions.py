"""Instruction counts of the core modules' rows, under valgrind's callgrind.

Wall-clock ratios on a shared machine move by half from one run to the next;
the number of instructions an operation executes does not. Each row runs in a
fresh interpreter under callgrind twice, once doing the operation N times and
once 3N times, after the same imports, set-up and warm-up; the difference of
the two totals divided by 2N is the operation's own count, start-up and
imports cancelled out. The hash seed is fixed (PYTHONHASHSEED=0): string
hashes decide where dict and set entries land, and with them how many probes
a lookup makes.

Each row is measured on the compiled module, on the module's Python run as
written, and in pure mode (the Python with the compiled module's checks), and
compared with the baseline recorded in CONTRIBUTING.md, within TOLERANCE.

    python bench/instructions.py [--jobs 2] [--only validate,poll]
    python bench/instructions.py child ROW VARIANT COUNT   # one measurement
"""

from __future__ import annotations

import asyncio
import gc
import importlib
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import ModuleType, SimpleNamespace

from harness import load_plain, poll_cycles

BENCH = Path(__file__).resolve().parent
CONTRIBUTING = BENCH.parent / "CONTRIBUTING.md"
TOLERANCE = 0.02
WARM_UP = 200
HASH_SEED = "0"
VARIANTS = ("compiled", "python", "pure")
VARIANT_NAMES = {"compiled": "compiled", "python": "Python as written", "pure": "pure mode"}
# Row: (what it does, N). N is chosen so that N operations run some tens of
# millions of instructions on the compiled modules: far above what varies
# between two processes, small enough for valgrind's pace.
ROWS: dict[str, tuple[str, int]] = {
    "validate": ("validate_generation_id(s)", 100_000),
    "coroutine": ("get_upload_urls coroutine made and run to its end", 40_000),
    "poll": ("poll_until_complete, one cycle (interval 0)", 5_000),
    "model": ("GenerationResult(**answer), blueprint in result", 20_000),
    "paths": ("prepare_file_paths(3 lists of 10 str)", 40_000),
}


# --- the child: one row, one variant, COUNT operations --------------------------------


def _module(dotted: str, variant: str) -> ModuleType:
    """The module the variant runs: the compiled one (VELQUOR_PURE_PYTHON=0),
    the package's pure one (VELQUOR_PURE_PYTHON=1), or its Python as written."""
    return load_plain(dotted) if variant == "python" else importlib.import_module(dotted)


def _operation(row: str, variant: str) -> Callable[[int], None]:
    """run(count): the row's operation count times, in a loop of its own."""
    if row == "validate":
        f, s = _module("velquor_ai.util.validators", variant).validate_generation_id, "gen_123"

        def run(count: int) -> None:
            for _ in range(count):
                f(s)

        return run
    if row == "coroutine":
        loop = asyncio.new_event_loop()
        answer = loop.create_future()
        answer.set_result({"upload_urls": []})
        uploads = SimpleNamespace(get_generation_upload_urls=lambda generation_id, filenames: answer)
        resource = _module("velquor_ai.resources.generations", variant).GenerationsResource(None, uploads)
        files = ["a.png"]

        def run(count: int) -> None:
            for _ in range(count):
                coroutine = resource.get_upload_urls("gen_123", files)
                try:
                    coroutine.send(None)
                except StopIteration:
                    pass

        return run
    if row == "poll":
        loop = asyncio.new_event_loop()
        poller = _module("velquor_ai.util.poller", variant).StatusPoller(SimpleNamespace(max_poll_interval=30))
        return poll_cycles(loop, poller, SimpleNamespace(status="running"), SimpleNamespace(status="completed"))
    if row == "model":
        model = _module("velquor_ai.models.blueprint", variant).GenerationResult
        answer = {"generation_id": "gen_1", "status": "completed", "result": {"blueprint": "graph:\n  nodes: []\n"}}

        def run(count: int) -> None:
            for _ in range(count):
                model(**answer)

        return run
    if row == "paths":
        f = _module("velquor_ai._vostrel", variant).prepare_file_paths
        a, b, c = ([f"input_{i}_{j}.png" for j in range(10)] for i in range(3))

        def run(count: int) -> None:
            for _ in range(count):
                f(a, b, c)

        return run
    raise SystemExit(f"unknown row {row!r}")


def child(row: str, variant: str, count: int) -> None:
    run = _operation(row, variant)
    gc.collect()
    gc.disable()
    run(WARM_UP)
    run(count)


# --- the parent: callgrind runs and the table --------------------------------------------


def instructions(row: str, variant: str, count: int) -> int:
    """Instructions callgrind counts for a whole child process."""
    env = {**os.environ, "PYTHONHASHSEED": HASH_SEED, "VELQUOR_PURE_PYTHON": "1" if variant == "pure" else "0"}
    completed = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            str(Path(__file__).resolve()),
            "child",
            row,
            variant,
            str(count),
        ],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    found = re.search(r"Collected : (\d+)", completed.stderr)
    if completed.returncode or not found:
        raise RuntimeError(f"callgrind run of {row} {variant} ×{count} failed:\n{completed.stderr[-2000:]}")
    return int(found.group(1))


def per_operation(row: str, variant: str, pool: ThreadPoolExecutor) -> Callable[[], float]:
    n = ROWS[row][1]
    once, thrice = pool.submit(instructions, row, variant, n), pool.submit(instructions, row, variant, 3 * n)
    return lambda: (thrice.result() - once.result()) / (2 * n)


def baseline(path: Path = CONTRIBUTING) -> dict[tuple[str, str], float]:
    """The recorded counts: the table whose first column names a row of ROWS,
    after the line that marks it in CONTRIBUTING.md."""
    recorded: dict[tuple[str, str], float] = {}
    lines = path.read_text().splitlines() if path.exists() else []
    marker = next((i for i, line in enumerate(lines) if "instruction-count baseline" in line), None)
    if marker is None:
        return recorded
    for line in lines[marker + 1 :]:
        cells = [cell.strip().strip("`") for cell in line.strip().strip("|").split("|")]
        if not line.startswith("|"):
            if recorded:
                break
            continue
        if cells[0] in ROWS:
            for variant, cell in zip(VARIANTS, cells[2:], strict=False):
                recorded[(cells[0], variant)] = float(cell.replace(",", ""))
    return recorded


def main(arguments: list[str]) -> int:
    if not shutil.which("valgrind"):
        print("valgrind is not installed (apt-get install valgrind)", file=sys.stderr)
        return 2
    jobs = int(arguments[arguments.index("--jobs") + 1]) if "--jobs" in arguments else 2
    rows = list(ROWS)
    if "--only" in arguments:
        rows = [row for row in arguments[arguments.index("--only") + 1].split(",") if row in ROWS]
    recorded = baseline()
    with ThreadPoolExecutor(jobs) as pool:
        pending = {(row, variant): per_operation(row, variant, pool) for row in rows for variant in VARIANTS}
        counts = {key: result() for key, result in pending.items()}

    print(f"Instructions per operation (callgrind, N and 3N operations, PYTHONHASHSEED={HASH_SEED}),")
    print(f"against the baseline in CONTRIBUTING.md (tolerance ±{TOLERANCE:.0%}):\n")
    header = ("row", "variant", "now", "baseline", "change", "", "vs Python")
    table = [header]
    outside = 0
    for row in rows:
        for variant in VARIANTS:
            now = counts[(row, variant)]
            before = recorded.get((row, variant))
            change = "" if before is None else f"{now / before - 1:+.1%}"
            verdict = "no baseline" if before is None else "ok" if abs(now / before - 1) <= TOLERANCE else "OUTSIDE"
            outside += verdict == "OUTSIDE"
            ratio = f"{now / counts[(row, 'python')]:.2f}×" if variant != "python" else ""
            table.append(
                (
                    row if variant == VARIANTS[0] else "",
                    VARIANT_NAMES[variant],
                    f"{now:,.0f}",
                    "" if before is None else f"{before:,.0f}",
                    change,
                    verdict,
                    ratio,
                )
            )
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for number, line in enumerate(table):
        print(
            "  ".join(
                c.rjust(w) if i in (2, 3, 4, 6) else c.ljust(w)
                for i, (c, w) in enumerate(zip(line, widths, strict=True))
            )
        )
        if number == 0:
            print("  ".join("-" * w for w in widths))
    print("\nAs a baseline table for CONTRIBUTING.md:\n")
    print("| row | operation | " + " | ".join(VARIANT_NAMES[v] for v in VARIANTS) + " |")
    print("|---|---|" + "---:|" * len(VARIANTS))
    for row in rows:
        cells = " | ".join(f"{counts[(row, v)]:,.0f}" for v in VARIANTS)
        print(f"| `{row}` | {ROWS[row][0]} | {cells} |")
    if outside:
        print(f"\n{outside} row(s) outside ±{TOLERANCE:.0%} of the baseline", file=sys.stderr)
    return 1 if outside else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["child"]:
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(main(sys.argv[1:]))
