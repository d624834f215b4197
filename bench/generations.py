"""Generations with one small image against LocalService in another process,
side by side with a plain-httpx script making the same requests.

- first: the longest gap of a 1 ms ticker on the event loop during the first
  generate on a new loop, the client built before the loop starts (as a web
  application builds it at start-up). Best of three fresh processes.
- load: client CPU per generation at concurrency 1, 16, 64 and 256 (each
  generation processing 0.2 s in the service), with the requests per
  generation the service counted, the process's peak RSS and open
  descriptors, and the service's own CPU.
- kinds: client CPU per request of one kind (create, status check, storage
  PUT), the same number in flight as in `load`.
- profile: where the client's time goes per request (cProfile, grouped by
  the code it runs in), at two levels of concurrency.

Beside ours on its default backend (httpx) and plain httpx, the `load` and
`first` rows measure ours with `http_backend="aiohttp"`.

Each measurement runs in a fresh client process:

    python bench/generations.py first ours URL IMAGE
    python bench/generations.py load ours 64 128 URL FOLDER   # prints "ready", waits for a line
    python bench/generations.py kinds ours 64 4 URL IMAGE
    python bench/generations.py profile ours 64 128 URL FOLDER
"""

from __future__ import annotations

import asyncio
import cProfile
import json
import os
import pstats
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from pathlib import Path

BENCH = Path(__file__).resolve().parent
API_KEY = "sk-bench"
QUESTION = "What is shown in this picture?"
PROCESSING = 0.2
LEVELS = (1, 16, 64, 256)
PROFILE_LEVELS = (16, 256)
MiB = 1 << 20


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


# --- the two clients --------------------------------------------------------------------
# Each gives a session whose `once(path)` is one whole generation with one image,
# and whose `kinds` are single requests of each kind, for the `kinds` rows.


class Session:
    once: Callable[[str], Awaitable[None]]
    kinds: dict[str, Callable[[], Awaitable[None]]]
    prepare: Callable[[str], Awaitable[None]]


def build_ours(base_url: str, backend: str = "httpx"):
    from velquor_ai import AsyncVelquorAI

    return AsyncVelquorAI(api_key=API_KEY, base_url=base_url, http_backend=backend)


def build_ours_on_aiohttp(base_url: str):
    return build_ours(base_url, "aiohttp")


@asynccontextmanager
async def ours(base_url: str, client=None) -> AsyncIterator[Session]:
    from velquor_ai._storage import FileSource

    client = client or build_ours(base_url)
    session = Session()
    async with client:

        async def once(path: str) -> None:
            result = await client.generate(QUESTION, images=[path], interval=1)
            assert result.status == "completed", result.status

        async def prepare(path: str) -> None:
            created = await client.generations.create(QUESTION)
            answer = await client.generations.get_upload_urls(created.generation_id, [os.path.basename(path)])
            target = answer["upload_urls"][0]
            source = FileSource.for_path(path, os.path.getsize(path))
            storage = client._storage_client()

            async def create() -> None:
                await client.generations.create(QUESTION)

            async def status() -> None:
                await client.generations.get_result(created.generation_id)

            async def put() -> None:
                response = await storage.upload(target["upload_url"], source, target["content_type"])
                await response.aclose()

            session.kinds = {"create": create, "status": status, "put": put}

        session.once, session.prepare = once, prepare
        yield session


def build_plain(base_url: str):
    import httpx

    headers = {"Authorization": f"Bearer {API_KEY}"}
    return httpx.AsyncClient(base_url=base_url, headers=headers, timeout=30), httpx.AsyncClient(timeout=30)


@asynccontextmanager
async def plain(base_url: str, clients=None) -> AsyncIterator[Session]:
    """The same requests written directly against httpx: one pool for the
    service, one for storage, an idempotency key on each POST, the image read
    whole and sent, a request sent again once when its connection failed (as
    ours does; a kept-alive connection the service has just closed, say)."""
    import httpx

    clients = clients or build_plain(base_url)
    session = Session()

    def key() -> dict[str, str]:
        return {"Idempotency-Key": str(uuid.uuid4())}

    class Retrying:
        def __init__(self, client) -> None:
            self.client = client

        def __getattr__(self, method: str):
            send = getattr(self.client, method)

            async def call(*args, **kwargs):
                try:
                    return await send(*args, **kwargs)
                except httpx.TransportError:
                    return await send(*args, **kwargs)

            setattr(self, method, call)  # made once per method
            return call

    api, storage = Retrying(clients[0]), Retrying(clients[1])

    async def put(url: str, path: str, content_type: str) -> None:
        with open(path, "rb") as file:
            data = file.read()
        response = await storage.put(url, content=data, headers={"Content-Type": content_type})
        assert response.status_code == 200, response.text

    async with clients[0], clients[1]:

        async def once(path: str) -> None:
            created = (await api.post("/v1/generation", json={"question": QUESTION}, headers=key())).json()
            gen = created["generation_id"]
            names = [{"filename": os.path.basename(path), "content_type": "image/png"}]
            response = await api.post(f"/v1/generation/{gen}/upload", json={"files": names}, headers=key())
            target = response.json()["upload_urls"][0]
            await put(target["upload_url"], path, target["content_type"])
            (await api.post(f"/v1/generation/{gen}/start", headers=key())).raise_for_status()
            while (await api.get(f"/v1/generation/{gen}/result")).json()["status"] != "completed":
                await asyncio.sleep(1)

        async def prepare(path: str) -> None:
            created = (await api.post("/v1/generation", json={"question": QUESTION}, headers=key())).json()
            gen = created["generation_id"]
            names = [{"filename": os.path.basename(path), "content_type": "image/png"}]
            response = await api.post(f"/v1/generation/{gen}/upload", json={"files": names}, headers=key())
            target = response.json()["upload_urls"][0]

            async def create() -> None:
                (await api.post("/v1/generation", json={"question": QUESTION}, headers=key())).json()

            async def status() -> None:
                (await api.get(f"/v1/generation/{gen}/result")).json()

            async def put_once() -> None:
                await put(target["upload_url"], path, target["content_type"])

            session.kinds = {"create": create, "status": status, "put": put_once}

        session.once, session.prepare = once, prepare
        yield session


@asynccontextmanager
async def ours_on_aiohttp(base_url: str, client=None) -> AsyncIterator[Session]:
    """Ours, its pools on the aiohttp backend (http_backend="aiohttp")."""
    async with ours(base_url, client or build_ours_on_aiohttp(base_url)) as session:
        yield session


SESSIONS = {"ours": ours, "httpx": plain, "aiohttp": ours_on_aiohttp}
BUILD = {"ours": build_ours, "httpx": build_plain, "aiohttp": build_ours_on_aiohttp}
AIOHTTP = "ours, http_backend='aiohttp'"


async def run_workers(concurrency: int, count: int, step: Callable[[int], Awaitable[None]]) -> None:
    """`count` steps, `concurrency` at a time, by as many workers."""
    taken = 0

    async def worker() -> None:
        nonlocal taken
        while taken < count:
            index = taken
            taken += 1
            await step(index)

    await asyncio.gather(*(worker() for _ in range(concurrency)))


# --- the client processes --------------------------------------------------------------


async def _ticker(longest: list[float], tick: float = 0.001) -> None:
    """Longest gap between two ticks of a 1 ms sleep: [0] by the clock, [1] the
    CPU time of the loop's thread within that gap."""
    last, cpu_last = time.perf_counter(), time.thread_time()
    while True:
        await asyncio.sleep(tick)
        now, cpu = time.perf_counter(), time.thread_time()
        if now - last > longest[0]:
            longest[0], longest[1] = now - last, cpu - cpu_last
        last, cpu_last = now, cpu


def first_main(variant: str, base_url: str, image: str) -> None:
    # Built before the loop runs, as a web application builds its client at start-up.
    client = BUILD[variant](base_url)

    async def main() -> dict:
        longest = [0.0, 0.0]
        ticker = asyncio.create_task(_ticker(longest))
        await asyncio.sleep(0.05)  # the ticker running steadily
        async with SESSIONS[variant](base_url, client) as session:
            started = time.perf_counter()
            await session.once(image)
            wall = time.perf_counter() - started
        ticker.cancel()
        return {"gap": longest[0], "gap_cpu": longest[1], "wall": wall}

    print(json.dumps(asyncio.run(main())))


def load_main(variant: str, concurrency: int, count: int, base_url: str, folder: str, profile: bool) -> None:
    files = sorted(str(p) for p in Path(folder).iterdir())
    baseline_rss, baseline_fds = rss_bytes(), open_descriptors()

    async def main() -> dict:
        most_fds = [baseline_fds]

        async def watch() -> None:
            while True:
                most_fds[0] = max(most_fds[0], open_descriptors())
                await asyncio.sleep(0.05)

        watcher = asyncio.create_task(watch())
        async with SESSIONS[variant](base_url) as session:
            # Connections opened and code warmed at the same concurrency.
            await run_workers(concurrency, concurrency, lambda i: session.once(files[i % len(files)]))
            print("ready", flush=True)
            await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
            # CPU time of the process (worker threads included), not the time the loop
            # spends waiting in select.
            profiler = cProfile.Profile(time.process_time) if profile else None
            began, started = cpu_seconds(), time.perf_counter()
            if profiler is not None:
                profiler.enable()
            await run_workers(concurrency, count, lambda i: session.once(files[i % len(files)]))
            if profiler is not None:
                profiler.disable()
            cpu, wall = cpu_seconds() - began, time.perf_counter() - started
        watcher.cancel()
        result = {
            "cpu": cpu / count,
            "wall": wall / count,
            "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - baseline_rss,
            "fds": most_fds[0],
            "fds_before": baseline_fds,
            "fds_after": open_descriptors(),
        }
        if profiler is not None:
            result["buckets"] = buckets(profiler)
        return result

    print(json.dumps(asyncio.run(main())), flush=True)


def kinds_main(variant: str, concurrency: int, rounds: int, base_url: str, image: str) -> None:
    async def main() -> dict:
        results = {}
        async with SESSIONS[variant](base_url) as session:
            await session.prepare(image)
            for name, request in session.kinds.items():
                await run_workers(concurrency, concurrency, lambda i: request())  # connections, warm code
                began = cpu_seconds()
                await run_workers(concurrency, concurrency * rounds, lambda i: request())
                results[name] = (cpu_seconds() - began) / (concurrency * rounds)
        return results

    print(json.dumps(asyncio.run(main())))


# --- where the time goes ------------------------------------------------------------------

# Buckets of the profile, by the file a function is in (first match wins).
# Functions written in C are charged to the bucket of whoever called them.
BUCKETS = [
    ("httpcore pool: connection_pool, connection, locks", ("/httpcore/_async/connection", "/httpcore/_synch")),
    ("network backend: anyio, httpcore backends", ("/anyio/", "/httpcore/_backends/", "/sniffio/")),
    ("HTTP/1.1: httpcore http11, h11", ("/httpcore/", "/h11/")),
    ("httpx client, requests, responses", ("/httpx/",)),
    ("event loop: asyncio, selectors, sockets", ("/asyncio/", "/selectors.py", "/socket.py", "/ssl.py")),
    ("our HTTP layer: _http, _pool", ("/velquor_ai/_http.py", "/velquor_ai/_pool.py")),
    ("retry wrapper: _retry", ("/velquor_ai/_retry.py",)),
    ("progress events: _progress", ("/velquor_ai/_progress.py",)),
    (
        "uploads: _upload, _storage, worker threads",
        ("/velquor_ai/_upload.py", "/velquor_ai/_storage.py", "/concurrent/"),
    ),
    ("generate and checks: _async, _checks, helpers", ("/velquor_ai/",)),
    ("models and JSON: pydantic, json", ("/pydantic", "/json/")),
    ("the bench's own code (both variants)", ("/bench/generations.py",)),
]
OTHER = "other"
POLL, POLLS = "is_socket_readable", "idle connections polled"


def _bucket(filename: str) -> str:
    for name, patterns in BUCKETS:
        if any(pattern in filename for pattern in patterns):
            return name
    return OTHER


def buckets(profiler: cProfile.Profile) -> dict[str, float]:
    """Seconds of own time per bucket."""
    stats = pstats.Stats(profiler).stats  # type: ignore[attr-defined]
    totals: dict[str, float] = {}

    def charge(key, seconds: float, depth: int = 0) -> None:
        filename = key[0]
        if filename != "~" or depth > 3:
            name = _bucket(filename) if filename != "~" else OTHER
            totals[name] = totals.get(name, 0.0) + seconds
            return
        callers = stats[key][4] if key in stats else {}
        own = sum(entry[2] for entry in callers.values())
        if not callers or own <= 0:
            totals[OTHER] = totals.get(OTHER, 0.0) + seconds
            return
        for caller, entry in callers.items():
            charge(caller, seconds * entry[2] / own, depth + 1)

    for key, (_, _, own, _, _) in stats.items():
        charge(key, own)
    # How often httpcore asked the system whether an idle connection was still open.
    totals[POLLS] = sum(v[1] for k, v in stats.items() if k[0].endswith("httpcore/_utils.py") and k[2] == POLL)
    return totals


# --- the sections of `make bench` ------------------------------------------------------------


class Service:
    """bench/local_service.py in a process of its own."""

    def __init__(self, processing: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, str(BENCH / "local_service.py"), str(processing)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.base_url = self.process.stdout.readline().strip()

    def ask(self, command: str) -> str:
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline()

    def cpu(self) -> float:
        return float(self.ask("cpu"))

    def requests(self) -> dict[str, int]:
        return json.loads(self.ask("requests"))

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait(timeout=30)


def _client(*arguments: str) -> dict:
    completed = subprocess.run(
        [sys.executable, __file__, *arguments], capture_output=True, text=True, check=False, env=_env()
    )
    if completed.returncode:
        raise RuntimeError(f"{arguments[:2]} failed:\n{completed.stderr[-3000:]}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def _env() -> dict[str, str]:
    return {**os.environ, "VELQUOR_PURE_PYTHON": "0"}


def _load_client(service: Service, *arguments: str) -> dict:
    """A load or profile client, with the service's CPU and request counts of
    its measured part (after its warm-up, signalled by "ready")."""
    process = subprocess.Popen(
        [sys.executable, __file__, *arguments],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=_env(),
    )
    line = process.stdout.readline()
    if line.strip() != "ready":
        process.kill()
        raise RuntimeError(f"{arguments[:3]} failed:\n{process.stderr.read()[-3000:]}")
    counts, served = service.requests(), service.cpu()
    process.stdin.write("go\n")
    process.stdin.flush()
    output, errors = process.communicate(timeout=600)
    if process.returncode:
        raise RuntimeError(f"{arguments[:3]} failed:\n{errors[-3000:]}")
    result = json.loads(output.strip().splitlines()[-1])
    after = service.requests()
    result["requests"] = {kind: after.get(kind, 0) - counts.get(kind, 0) for kind in after}
    result["served"] = service.cpu() - served
    return result


def _images(folder: Path) -> list[str]:
    # Small images, a few hundred bytes to a few KiB.
    paths = []
    for index in range(16):
        path = folder / f"image-{index}.png"
        path.write_bytes(b"\x89PNG\r\n\x1a\n" + os.urandom(300 + 250 * index))
        paths.append(str(path))
    return paths


def _count(concurrency: int, quick: bool) -> int:
    """Generations measured at a level: a few at 1, two rounds of the level above."""
    if concurrency == 1:
        return 3 if quick else 6
    return concurrency if quick else 2 * concurrency


def first_rows(quick: bool = False) -> list:
    from harness import Row

    service = Service(PROCESSING)
    try:
        with tempfile.TemporaryDirectory(prefix="velquor-bench-") as directory:
            image = _images(Path(directory))[0]
            runs: dict[str, list[dict]] = {variant: [] for variant in SESSIONS}
            for _ in range(3 if quick else 5):
                for variant in runs:
                    runs[variant].append(_client("first", variant, service.base_url, image))
    finally:
        service.close()
    best = {v: min(runs[v], key=lambda r: r["gap"]) for v in runs}
    spread = {v: f"{min(r['gap'] for r in runs[v]) * 1e3:.1f}–{max(r['gap'] for r in runs[v]) * 1e3:.1f}" for v in runs}
    httpx_label = "plain httpx, clients built before the loop"
    return [
        Row(
            "first generate on a new loop, 1 small image: longest gap of a 1 ms ticker (best process)",
            best["ours"]["gap"] * 1e3,
            "ms",
            [(httpx_label, best["httpx"]["gap"] * 1e3)],
            "≤ 10 ms",
        ),
        Row(
            f"  of it the loop thread's CPU (all {len(runs['ours'])} processes: ours {spread['ours']} ms, "
            f"httpx {spread['httpx']} ms)",
            best["ours"]["gap_cpu"] * 1e3,
            "ms",
            [(httpx_label, best["httpx"]["gap_cpu"] * 1e3)],
            "",
        ),
        Row(
            f"  {AIOHTTP} (all processes: {spread['aiohttp']} ms)",
            best["aiohttp"]["gap"] * 1e3,
            "ms",
            [(httpx_label, best["httpx"]["gap"] * 1e3)],
            "≤ 10 ms",
        ),
    ]


# Measured per request kind and profiled: ours on its default backend, and plain httpx.
COMPARED = ("ours", "httpx")


def load_rows(quick: bool = False) -> list:
    from harness import Row

    rounds = 1 if quick else 2
    runs: dict[tuple[str, int], list[dict]] = {}
    kinds: dict[tuple[str, int], list[dict]] = {}
    profiles: dict[tuple[str, int], dict] = {}
    service = Service(PROCESSING)
    try:
        with tempfile.TemporaryDirectory(prefix="velquor-bench-") as directory:
            images = _images(Path(directory))
            for level in LEVELS:
                count = str(_count(level, quick))
                for _ in range(rounds):
                    for variant in SESSIONS:  # the variants take turns
                        runs.setdefault((variant, level), []).append(
                            _load_client(service, "load", variant, str(level), count, service.base_url, directory)
                        )
                    for variant in COMPARED:
                        kinds.setdefault((variant, level), []).append(
                            _client(
                                "kinds", variant, str(level), "2" if level > 1 else "40", service.base_url, images[0]
                            )
                        )
            for level in PROFILE_LEVELS:
                for variant in COMPARED:
                    count = str(_count(level, True))
                    profiles[(variant, level)] = _load_client(
                        service, "profile", variant, str(level), count, service.base_url, directory
                    )
    finally:
        service.close()

    def median(variant: str, level: int, key: str) -> float:
        return statistics.median(r[key] for r in runs[(variant, level)])

    def per_generation(variant: str, level: int, kind: str | None = None) -> float:
        """Requests the service received per generation (of one kind, or all)."""
        counts = []
        for r in runs[(variant, level)]:
            total = sum(r["requests"].values()) if kind is None else r["requests"].get(kind, 0)
            counts.append(total / _count(level, quick))
        return statistics.median(counts)

    def kind_cpu(variant: str, level: int, kind: str) -> float:
        return statistics.median(r[kind] for r in kinds[(variant, level)])

    def spread(variant: str, level: int) -> str:
        values = [r["cpu"] * 1e3 for r in runs[(variant, level)]]
        return f"{min(values):.2f}–{max(values):.2f}"

    httpx_label = "plain httpx, same requests"
    rows = []
    for level in LEVELS:
        rows.append(
            Row(
                f"generate, 1 small image, concurrency {level}: client CPU per generation",
                median("ours", level, "cpu") * 1e3,
                "ms",
                [(httpx_label, median("httpx", level, "cpu") * 1e3)],
                "≤1.1× httpx",
            )
        )
        rows.append(
            Row(
                f"  runs: ours {spread('ours', level)} ms, httpx {spread('httpx', level)} ms; {AIOHTTP}",
                median("aiohttp", level, "cpu") * 1e3,
                "ms",
                [(httpx_label, median("httpx", level, "cpu") * 1e3)],
                "",
            )
        )
        rows.append(
            Row(
                "  requests per generation (status checks)",
                per_generation("ours", level),
                "",
                [
                    (
                        f"{httpx_label} ({per_generation('httpx', level, 'status'):.2f} status checks)",
                        per_generation("httpx", level),
                    ),
                    ("ours: status checks", per_generation("ours", level, "status")),
                ],
                "",
            )
        )
        per_request = {v: median(v, level, "cpu") / per_generation(v, level) for v in SESSIONS}
        rows.append(
            Row(
                "  client CPU per request",
                per_request["ours"] * 1e3,
                "ms",
                [(httpx_label, per_request["httpx"] * 1e3), (AIOHTTP, per_request["aiohttp"] * 1e3)],
                "",
            )
        )
        for kind, label in (("create", "POST create"), ("status", "GET status"), ("put", "PUT to storage")):
            rows.append(
                Row(
                    f"  client CPU per {label} alone, {level} in flight",
                    kind_cpu("ours", level, kind) * 1e3,
                    "ms",
                    [(httpx_label, kind_cpu("httpx", level, kind) * 1e3)],
                    "",
                )
            )
        rows.append(
            Row(
                "  run's wall per generation; the service's CPU per generation (other process)",
                median("ours", level, "wall") * 1e3,
                "ms",
                [
                    (httpx_label, median("httpx", level, "wall") * 1e3),
                    ("service CPU per generation, ours", median("ours", level, "served") / _count(level, quick) * 1e3),
                ],
                "",
            )
        )
    top = LEVELS[-1]
    for key, label in (("peak", "peak RSS above the client's baseline"), ("fds", "most open descriptors")):
        scale = MiB if key == "peak" else 1
        unit = "MiB" if key == "peak" else ""
        rows.append(
            Row(
                f"concurrency {top}: {label}",
                max(r[key] for r in runs[("ours", top)]) / scale,
                unit,
                [
                    (httpx_label, max(r[key] for r in runs[("httpx", top)]) / scale),
                    (AIOHTTP, max(r[key] for r in runs[("aiohttp", top)]) / scale),
                ],
                "bounded",
            )
        )
    rows.append(
        Row(
            f"concurrency {top}: open descriptors before the client, after it closed",
            max(r["fds_before"] for r in runs[("ours", top)]),
            "",
            [
                (
                    f"after closing ({httpx_label}: {max(r['fds_after'] for r in runs[('httpx', top)])})",
                    max(r["fds_after"] for r in runs[("ours", top)]),
                )
            ],
            "",
        )
    )
    for level in PROFILE_LEVELS:
        profiled = {v: profiles[(v, level)] for v in COMPARED}
        polls = {v: profiled[v]["buckets"].pop(POLLS) / sum(profiled[v]["requests"].values()) for v in COMPARED}
        per_request = {
            v: {
                name: seconds / sum(profiled[v]["requests"].values()) * 1e6
                for name, seconds in profiled[v]["buckets"].items()
            }
            for v in COMPARED
        }
        rows.append(
            Row(
                f"profile at concurrency {level}: CPU per request, all code (cProfile, its own cost included)",
                sum(per_request["ours"].values()),
                "us",
                [(httpx_label, sum(per_request["httpx"].values()))],
                "",
            )
        )
        for name in [name for name, _ in BUCKETS] + [OTHER]:
            ours_us, theirs_us = per_request["ours"].get(name, 0.0), per_request["httpx"].get(name, 0.0)
            if max(ours_us, theirs_us) >= 1:
                rows.append(Row(f"  {name}", ours_us, "us", [(httpx_label, theirs_us)], ""))
        rows.append(
            Row("  httpcore: idle connections polled per request", polls["ours"], "", [(httpx_label, polls["httpx"])])
        )
    return rows


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "first":
        first_main(arguments[0], arguments[1], arguments[2])
    elif command in ("load", "profile"):
        variant, concurrency, count, base_url, folder = arguments
        load_main(variant, int(concurrency), int(count), base_url, folder, command == "profile")
    elif command == "kinds":
        variant, concurrency, rounds, base_url, image = arguments
        kinds_main(variant, int(concurrency), int(rounds), base_url, image)
    else:
        raise SystemExit(f"unknown command {command!r}")
