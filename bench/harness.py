"""Timing helpers: medians of repeated, interleaved runs on time.perf_counter_ns;
and what the wall-clock and the instruction-count benchmarks both run."""

from __future__ import annotations

import asyncio
import gc
import importlib.util
import itertools
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

# Each statement runs in a loop compiled for it, with every name it uses bound
# as a local, so that all variants of a row pay the same loop cost.
_LOOP = """\
def loop(count, {names}):
    for _ in repeat(None, count):
        {statement}
"""


def compile_loop(statement: str, names: dict[str, Any]) -> Callable[[int], None]:
    """Return loop(count) running `statement` count times with `names` bound."""
    namespace: dict[str, Any] = {"repeat": itertools.repeat}
    source = _LOOP.format(names=", ".join(names) or "_unused=None", statement=statement)
    exec(compile(source, f"<bench {statement}>", "exec"), namespace)
    loop = namespace["loop"]
    values = tuple(names.values())
    return lambda count: loop(count, *values)


def calibrate(run: Callable[[int], None], target_ns: int = 20_000_000) -> int:
    """The count for which one run of `run` lasts about target_ns."""
    count = 1
    while True:
        started = time.perf_counter_ns()
        run(count)
        spent = time.perf_counter_ns() - started
        if spent >= target_ns // 10 or count >= 1 << 30:
            return max(1, int(count * target_ns / max(spent, 1)))
        count *= 10


def interleaved(
    runs: dict[str, Callable[[int], None]], repeat: int = 15, target_ns: int = 20_000_000
) -> dict[str, float]:
    """Median ns per operation of each run, the runs taking turns each round.

    Taking turns spreads a slow phase of the machine over every variant
    instead of charging it to whichever happened to run then.
    """
    counts = {name: calibrate(run, target_ns) for name, run in runs.items()}
    samples: dict[str, list[float]] = {name: [] for name in runs}
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            for name, run in runs.items():
                count = counts[name]
                started = time.perf_counter_ns()
                run(count)
                samples[name].append((time.perf_counter_ns() - started) / count)
    finally:
        if enabled:
            gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def median_of(measure: Callable[[], float], repeat: int) -> float:
    """Median of repeated calls of a measurement that returns one figure."""
    return statistics.median(measure() for _ in range(repeat))


def load_plain(dotted: str) -> ModuleType:
    """The Python a compiled module stands for, run as written (no call boundary), as a new module."""
    package, _, name = dotted.rpartition(".")
    folder = Path(importlib.util.find_spec(package).submodule_search_locations[0])
    spec = importlib.util.spec_from_file_location(f"{dotted}_twin", folder / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def poll_cycles(loop: asyncio.AbstractEventLoop, poller: Any, running: Any, completed: Any) -> Callable[[int], None]:
    """run(count): one poll_until_complete (interval 0) on `loop` whose check
    answers `running` count - 1 times, then `completed`."""

    def run(count: int) -> None:
        remaining = count

        async def check() -> Any:
            nonlocal remaining
            remaining -= 1
            return running if remaining > 0 else completed

        loop.run_until_complete(poller.poll_until_complete(check, 1 << 30, 0))

    return run


@dataclass
class Row:
    """One operation: our figure and its comparison points."""

    operation: str
    ours: float
    unit: str
    comparisons: list[tuple[str, float]] = field(default_factory=list)
    target: str = ""


def _figure(value: float, unit: str) -> str:
    if unit == "ns":
        return f"{value:,.1f} ns" if value < 100 else f"{value:,.0f} ns"
    if unit == "us":
        return f"{value:,.1f} µs"
    if unit == "ms":
        return f"{value:,.2f} ms"
    if unit == "B":
        return f"{value:,.0f} B"
    if unit == "MiB":
        return f"{value:,.1f} MiB"
    if unit == "MiB/s":
        return f"{value:,.0f} MiB/s"
    return f"{value:,.3g} {unit}"


def table(rows: list[Row], markdown: bool = False) -> str:
    """A plain-text table (or a Markdown one, as CONTRIBUTING.md records it):
    operation, ours, each comparison with the ratio."""
    lines = [("operation", "ours", "compared with", "theirs", "ratio", "target")]
    for row in rows:
        first = True
        for label, theirs in row.comparisons or [("", float("nan"))]:
            ratio = row.ours / theirs if theirs == theirs and theirs else float("nan")
            lines.append(
                (
                    row.operation if first else "",
                    _figure(row.ours, row.unit) if first else "",
                    label,
                    _figure(theirs, row.unit) if label else "",
                    f"{ratio:.2f}×" if ratio == ratio else "",
                    row.target if first else "",
                )
            )
            first = False
    if markdown:
        out = ["| " + " | ".join(lines[0]) + " |", "|---|---:|---|---:|---:|---|"]
        out += ["| " + " | ".join(cell.strip() for cell in line) + " |" for line in lines[1:]]
        return "\n".join(out)
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    out = []
    for number, line in enumerate(lines):
        cells = [
            cell.ljust(width) if i in (0, 2, 5) else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(line, widths, strict=False))
        ]
        out.append("  ".join(cells).rstrip())
        if number == 0:
            out.append("  ".join("-" * width for width in widths))
    return "\n".join(out)
