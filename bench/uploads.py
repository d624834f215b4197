"""Uploads through `generate` against a LocalService in another process, side
by side with plain httpx making the same requests.

Two scenarios, each variant run in a fresh client process:

- large: four 95 MB files, uploaded four at a time after a first call with one
  of them. Reported: wall time, the client's peak resident memory above its
  level just before the uploads, and the longest stall of the client's event
  loop from the first call on.
- small: a generate with three small files, repeated. Reported: the client
  process's CPU time per generate.

    python bench/uploads.py serve                 # LocalService, prints its URL
    python bench/uploads.py large ours URL FILE...  # one measurement, JSON
"""

from __future__ import annotations

import asyncio
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import asynccontextmanager
from pathlib import Path

BENCH = Path(__file__).resolve().parent
API_KEY = "sk-bench"
QUESTION = "What happens in these clips?"
LARGE_SIZE = 95_000_000
LARGE_COUNT = 4
SMALL_SIZES = (3_000, 20_000, 60_000)
SMALL_ROUNDS = 20
CHUNK = 1 << 20
MiB = 1 << 20


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


# --- the service, in its own process ------------------------------------------------


def serve() -> None:
    from velquor_ai.testing import LocalService

    # Only size and digest of each object are kept: four 95 MB files would
    # otherwise sit in this process's memory.
    with LocalService(api_key=API_KEY, keep_uploads=False) as service:
        print(service.base_url, flush=True)
        sys.stdin.read()


# --- the two clients ----------------------------------------------------------------
# Each is a session: its pools open, it gives `once(paths)`, one whole generation.


@asynccontextmanager
async def ours(base_url: str):
    from velquor_ai import AsyncVelquorAI

    async with AsyncVelquorAI(api_key=API_KEY, base_url=base_url, max_file_size=1 << 30) as client:

        async def once(paths: list[str]) -> None:
            result = await client.generate(QUESTION, videos=paths, interval=1)
            assert result.status == "completed", result.status

        yield once


@asynccontextmanager
async def plain(base_url: str):
    """The same requests written directly against httpx: one pool for the
    service, one for storage, each body streamed from its file."""
    import httpx

    headers = {"Authorization": f"Bearer {API_KEY}"}
    async with httpx.AsyncClient(base_url=base_url, headers=headers, timeout=30) as api, \
            httpx.AsyncClient(timeout=30) as storage:  # fmt: skip

        async def put(url: str, path: str, content_type: str) -> None:
            size = os.path.getsize(path)

            async def body():
                with open(path, "rb") as file:
                    while chunk := file.read(CHUNK):
                        yield chunk

            response = await storage.put(
                url, content=body(), headers={"Content-Type": content_type, "Content-Length": str(size)}
            )
            assert response.status_code == 200, response.text

        async def once(paths: list[str]) -> None:
            created = (await api.post("/v1/generation", json={"question": QUESTION})).json()
            gen = created["generation_id"]
            names = [{"filename": os.path.basename(p), "content_type": "video/mp4"} for p in paths]
            urls = (await api.post(f"/v1/generation/{gen}/upload", json={"files": names})).json()["upload_urls"]
            pairs = zip(urls, paths, strict=False)
            await asyncio.gather(*(put(u["upload_url"], p, u["content_type"]) for u, p in pairs))
            (await api.post(f"/v1/generation/{gen}/start")).raise_for_status()
            while (await api.get(f"/v1/generation/{gen}/result")).json()["status"] != "completed":
                await asyncio.sleep(1)

        yield once


VARIANTS = {"ours": ours, "httpx": plain}


async def _stall_monitor(longest: list[float], tick: float = 0.002) -> None:
    """Longest lateness of a short sleep: [0] by the clock, [1] in CPU time
    of the loop's thread (the part that other processes on a busy machine
    cannot add by taking the processor away)."""
    loop = asyncio.get_running_loop()
    while True:
        before, cpu_before = loop.time(), time.thread_time()
        await asyncio.sleep(tick)
        late = loop.time() - before - tick
        longest[0] = max(longest[0], late)
        longest[1] = max(longest[1], min(late, time.thread_time() - cpu_before))


async def measure_large(variant: str, base_url: str, paths: list[str]) -> dict:
    async with VARIANTS[variant](base_url) as once:
        # The stall is watched from the first call on: the one that opens the
        # pools and runs code for the first time.
        longest = [0.0, 0.0]
        monitor = asyncio.create_task(_stall_monitor(longest))
        await once(paths[:1])  # connections made, code warmed
        first = longest[:]
        baseline = rss_bytes()
        peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        started = time.perf_counter()
        await once(paths)
        wall = time.perf_counter() - started
        monitor.cancel()
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    # The peak is the process's; one reached before the baseline (at import)
    # would count against the variant, so it is reported as well.
    return {
        "wall": wall,
        "peak": peak - baseline,
        "peak_before": peak_before - baseline,
        "stall": longest[0],
        "stall_cpu": longest[1],
        "first_stall": first[0],
    }


async def measure_small(variant: str, base_url: str, paths: list[str]) -> dict:
    async with VARIANTS[variant](base_url) as once:
        for _ in range(3):
            await once(paths)
        began = cpu_seconds()
        started = time.perf_counter()
        for _ in range(SMALL_ROUNDS):
            await once(paths)
        cpu = cpu_seconds() - began
        wall = time.perf_counter() - started
    return {"cpu": cpu / SMALL_ROUNDS, "wall": wall / SMALL_ROUNDS}


def client_main(scenario: str, variant: str, base_url: str, paths: list[str]) -> None:
    measure = measure_large if scenario == "large" else measure_small
    print(json.dumps(asyncio.run(measure(variant, base_url, paths))))


# --- the section of `make bench` ----------------------------------------------------


def _run_client(scenario: str, variant: str, base_url: str, paths: list[str]) -> dict:
    completed = subprocess.run(
        [sys.executable, __file__, scenario, variant, base_url, *paths], capture_output=True, text=True, check=False
    )
    if completed.returncode:
        raise RuntimeError(f"{scenario} {variant} failed:\n{completed.stderr}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def _write(path: Path, size: int, seed: int) -> str:
    block = os.urandom(1 << 16) if seed else bytes(1 << 16)
    with open(path, "wb") as file:
        left = size
        while left:
            piece = block[: min(left, len(block))]
            file.write(piece)
            left -= len(piece)
    return str(path)


def upload_rows(quick: bool = False) -> list:
    from harness import Row

    rounds = 2 if quick else 5
    with tempfile.TemporaryDirectory(prefix="velquor-bench-") as directory:
        folder = Path(directory)
        large = [_write(folder / f"clip-{i}.mp4", LARGE_SIZE, i + 1) for i in range(LARGE_COUNT)]
        small = [_write(folder / f"small-{i}.mp4", size, i + 1) for i, size in enumerate(SMALL_SIZES)]
        server = subprocess.Popen(
            [sys.executable, __file__, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        try:
            base_url = server.stdout.readline().strip()
            runs: dict[tuple[str, str], list[dict]] = {}
            for _ in range(rounds):
                for variant in VARIANTS:  # the variants take turns
                    runs.setdefault(("large", variant), []).append(_run_client("large", variant, base_url, large))
                    runs.setdefault(("small", variant), []).append(_run_client("small", variant, base_url, small))
        finally:
            server.stdin.close()
            server.wait(timeout=30)

    def median(scenario: str, variant: str, key: str) -> float:
        return statistics.median(r[key] for r in runs[(scenario, variant)])

    def worst(scenario: str, variant: str, key: str) -> float:
        return max(r[key] for r in runs[(scenario, variant)])

    total = LARGE_COUNT * LARGE_SIZE / 1e6
    return [
        Row(
            f"generate, {LARGE_COUNT} × 95 MB videos ({total:.0f} MB), wall",
            median("large", "ours", "wall") * 1e3,
            "ms",
            [("plain httpx, streamed, one pool", median("large", "httpx", "wall") * 1e3)],
            "≤1.1× httpx",
        ),
        Row(
            "  peak RSS above baseline (worst run)",
            worst("large", "ours", "peak") / MiB,
            "MiB",
            [("plain httpx, streamed, one pool", worst("large", "httpx", "peak") / MiB)],
            "≤ 64 MiB",
        ),
        Row(
            "  longest event-loop stall, first call included (median run)",
            median("large", "ours", "stall") * 1e3,
            "ms",
            [("plain httpx, streamed, one pool", median("large", "httpx", "stall") * 1e3)],
            "≤ 20 ms",
        ),
        Row(
            "    longest in the first call (median run)",
            median("large", "ours", "first_stall") * 1e3,
            "ms",
            [("plain httpx, streamed, one pool", median("large", "httpx", "first_stall") * 1e3)],
            "",
        ),
        Row(
            "    of it the loop's own CPU time (worst run)",
            worst("large", "ours", "stall_cpu") * 1e3,
            "ms",
            [("plain httpx, streamed, one pool", worst("large", "httpx", "stall_cpu") * 1e3)],
            "≤ 20 ms",
        ),
        Row(
            "generate, 3 small files, client CPU",
            median("small", "ours", "cpu") * 1e3,
            "ms",
            [("plain httpx, same requests", median("small", "httpx", "cpu") * 1e3)],
            "≤1.3× httpx",
        ),
    ]


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve()
    else:
        client_main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:])
