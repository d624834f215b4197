"""Benchmarks of the compiled modules against their comparison points.

Run with `make bench` (it builds and installs the package in Release first), or
directly with the package importable: python bench/run.py [--quick] [--no-put]
[--no-upload] [--only call,coroutine,poll,sync,memory,import,batch,first,load,put,upload]
[--markdown].
Every figure is a median of repeated runs; the variants of one row take turns
within each round so that they see the same machine.

`--instructions` (`make bench-instructions`) counts instructions of the core
modules' rows under valgrind instead, against the baseline recorded in
CONTRIBUTING.md (see instructions.py); `--only` then names its rows.
"""

from __future__ import annotations

import asyncio
import gc
import json
import operator
import os
import platform
import py_compile
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path
from types import ModuleType, SimpleNamespace

import generations
import harness
import uploads
from harness import Row, compile_loop, interleaved, load_plain, poll_cycles

import velquor_ai._pure
from velquor_ai._vostrel import prepare_file_paths
from velquor_ai.models.blueprint import GenerationResult
from velquor_ai.resources.generations import GenerationsResource
from velquor_ai.resources.uploads import UploadsResource
from velquor_ai.util.poller import StatusPoller
from velquor_ai.util.validators import validate_generation_id


def load_pure(dotted: str) -> ModuleType:
    """The module as the package runs it where the compiled modules are not in use
    (VELQUOR_PURE_PYTHON=1): its Python with the call boundary of the compiled one."""
    return velquor_ai._pure.load(dotted, f"{dotted}_pure")


# The Python each compiled module stands for, as written, and in pure mode.
VALIDATORS_TWIN, VALIDATORS_PURE = load_plain("velquor_ai.util.validators"), load_pure("velquor_ai.util.validators")
POLLER_TWIN, POLLER_PURE = load_plain("velquor_ai.util.poller"), load_pure("velquor_ai.util.poller")
UPLOADS_TWIN, UPLOADS_PURE = load_plain("velquor_ai.resources.uploads"), load_pure("velquor_ai.resources.uploads")
GENERATIONS_TWIN = load_plain("velquor_ai.resources.generations")
GENERATIONS_PURE = load_pure("velquor_ai.resources.generations")
PURE_MODE = "pure mode (VELQUOR_PURE_PYTHON=1)"
BENCH = Path(__file__).resolve().parent
QUICK = "--quick" in sys.argv
REPEAT = 7 if QUICK else 15
MiB = 1 << 20


# --- the frame's call boundary ---------------------------------------------------


def call_rows() -> list[Row]:
    identifier = "gen_123"
    names = {
        "f": validate_generation_id,
        "twin": VALIDATORS_TWIN.validate_generation_id,
        "pure": VALIDATORS_PURE.validate_generation_id,
        "s": identifier,
        "len": len,
        "callable": callable,
        "first": operator.itemgetter(0),
    }
    runs = {
        "loop": compile_loop("s", names),
        "len": compile_loop("len(s)", names),
        "callable": compile_loop("callable(s)", names),
        "itemgetter": compile_loop("first(s)", names),
        "frame": compile_loop("f(s)", names),
        "twin": compile_loop("twin(s)", names),
        "frame_kw": compile_loop("f(generation_id=s)", names),
        "twin_kw": compile_loop("twin(generation_id=s)", names),
        "pure": compile_loop("pure(s)", names),
        "pure_kw": compile_loop("pure(generation_id=s)", names),
    }
    t = interleaved(runs, REPEAT)
    refused = {
        "f": validate_generation_id,
        "twin": VALIDATORS_TWIN.validate_generation_id,
        "pure": VALIDATORS_PURE.validate_generation_id,
        "n": 1,
    }
    r = interleaved(
        {
            "frame": compile_loop("try: f(n)\n        except TypeError: pass", refused),
            "twin": compile_loop("try: twin(n)\n        except TypeError: pass", refused),
            "pure": compile_loop("try: pure(n)\n        except TypeError: pass", refused),
        },
        REPEAT,
    )
    return [
        Row("loop and load alone: s", t["loop"], "ns"),
        Row(
            "validate_generation_id(s)",
            t["frame"],
            "ns",
            [
                ("len(s)", t["len"]),
                ("callable(s)", t["callable"]),
                ("plain-Python twin", t["twin"]),
                (PURE_MODE, t["pure"]),
                ("bound: itemgetter(0)(s), C, not a builtin", t["itemgetter"]),
            ],
            "≤1.1× len, ≤0.75× twin",
        ),
        Row(
            "validate_generation_id(generation_id=s)",
            t["frame_kw"],
            "ns",
            [("plain-Python twin", t["twin_kw"]), (PURE_MODE, t["pure_kw"])],
            "≤0.75× twin",
        ),
        Row(
            "validate_generation_id(1) refused",
            r["frame"],
            "ns",
            [("plain-Python twin", r["twin"]), (PURE_MODE, r["pure"])],
            "≤0.8× twin",
        ),
    ]


# --- coroutines -----------------------------------------------------------------


class Uploads:
    """The uploads delegate: its answer is an already-done future, whose
    __await__ is an iterator that ends at once with the dict."""

    def __init__(self, loop):
        self.answer = loop.create_future()
        self.answer.set_result({"upload_urls": []})

    def get_generation_upload_urls(self, generation_id, filenames):
        return self.answer


class PlainGenerations:
    """The work of get_upload_urls without a coroutine: the delegate is called
    and its awaitable's iterator driven by a plain function, which raises
    StopIteration with the answer as the coroutine's end does."""

    def __init__(self, uploads):
        self._uploads = uploads

    def get_upload_urls(self, generation_id, filenames):
        return self._uploads.get_generation_upload_urls(generation_id, filenames).__await__()


def coroutine_rows() -> list[Row]:
    loop = asyncio.new_event_loop()
    uploads = Uploads(loop)
    names = {
        "ours": GenerationsResource(None, uploads),
        "native": GENERATIONS_TWIN.GenerationsResource(None, uploads),
        "pure": GENERATIONS_PURE.GenerationsResource(None, uploads),
        "plain": PlainGenerations(uploads),
        "s": "gen_123",
        "files": ["a.png"],
    }
    body = "c = {}.get_upload_urls(s, files)\n        try: c.send(None)\n        except StopIteration: pass"
    try:
        t = interleaved(
            {
                "frame": compile_loop(body.format("ours"), names),
                "native": compile_loop(body.format("native"), names),
                "pure": compile_loop(body.format("pure"), names),
                "plain": compile_loop(body.format("plain"), names),
            },
            REPEAT,
        )
    finally:
        loop.close()
    return [
        Row(
            "get_upload_urls coroutine created, driven to its end",
            t["frame"],
            "ns",
            [
                ("native async def", t["native"]),
                (PURE_MODE, t["pure"]),
                ("bound: the same work, no coroutine", t["plain"]),
            ],
            "≤0.7× native",
        )
    ]


class Status:
    __slots__ = ("status",)

    def __init__(self, status):
        self.status = status


def poll_rows() -> list[Row]:
    loop = asyncio.new_event_loop()
    config = SimpleNamespace(max_poll_interval=30)
    running, completed = Status("running"), Status("completed")

    try:
        t = interleaved(
            {
                "frame": poll_cycles(loop, StatusPoller(config), running, completed),
                "native": poll_cycles(loop, POLLER_TWIN.StatusPoller(config), running, completed),
                "pure": poll_cycles(loop, POLLER_PURE.StatusPoller(config), running, completed),
            },
            REPEAT,
        )
    finally:
        loop.close()

    def nothing():
        pass

    calls = interleaved(
        {
            "from_c": compile_loop("call(f)", {"call": operator.call, "f": nothing}),
            "from_python": compile_loop("f()", {"f": nothing}),
        },
        REPEAT,
    )
    return [
        Row(
            "poll_until_complete, one cycle (interval 0)",
            t["frame"],
            "ns",
            [("native async def poller", t["native"]), (PURE_MODE, t["pure"])],
            "≤0.9× native",
        ),
        Row(
            "  bound: a Python call made from C, operator.call(f)",
            calls["from_c"],
            "ns",
            [("the same call made from Python, f()", calls["from_python"])],
            "",
        ),
    ]


# --- models and helpers -------------------------------------------------------------


def sync_rows() -> list[Row]:
    models_twin, models_pure = load_plain("velquor_ai.models.blueprint"), load_pure("velquor_ai.models.blueprint")
    vostrel_twin, vostrel_pure = load_plain("velquor_ai._vostrel"), load_pure("velquor_ai._vostrel")
    answer = {"generation_id": "gen_1", "status": "completed", "result": {"blueprint": "graph:\n  nodes: []\n"}}
    assert GenerationResult(**answer).blueprint == models_twin.GenerationResult(**answer).blueprint
    models = interleaved(
        {
            "frame": compile_loop("M(**a)", {"M": GenerationResult, "a": answer}),
            "twin": compile_loop("M(**a)", {"M": models_twin.GenerationResult, "a": answer}),
            "pure": compile_loop("M(**a)", {"M": models_pure.GenerationResult, "a": answer}),
        },
        REPEAT,
    )
    instance = GenerationResult(**answer)
    reads = interleaved(
        {
            "from_c": compile_loop("read(m)", {"read": operator.attrgetter("result"), "m": instance}),
            "from_python": compile_loop("m.result", {"m": instance}),
        },
        REPEAT,
    )

    lists = [[f"input_{i}_{j}.png" for j in range(10)] for i in range(3)]
    assert prepare_file_paths(*lists) == vostrel_twin.prepare_file_paths(*lists)
    paths = interleaved(
        {
            "frame": compile_loop("f(a, b, c)", {"f": prepare_file_paths, "a": lists[0], "b": lists[1], "c": lists[2]}),
            "twin": compile_loop(
                "f(a, b, c)", {"f": vostrel_twin.prepare_file_paths, "a": lists[0], "b": lists[1], "c": lists[2]}
            ),
            "pure": compile_loop(
                "f(a, b, c)", {"f": vostrel_pure.prepare_file_paths, "a": lists[0], "b": lists[1], "c": lists[2]}
            ),
        },
        REPEAT,
    )

    ours, theirs, pure = UploadsResource(None), UPLOADS_TWIN.UploadsResource(None), UPLOADS_PURE.UploadsResource(None)
    assert ours._infer_content_type("a.png") == theirs._infer_content_type("a.png")
    content = interleaved(
        {
            "frame": compile_loop('u._infer_content_type("a.png")', {"u": ours}),
            "twin": compile_loop('u._infer_content_type("a.png")', {"u": theirs}),
            "pure": compile_loop('u._infer_content_type("a.png")', {"u": pure}),
        },
        REPEAT,
    )
    return [
        Row(
            "GenerationResult(**answer), blueprint in result",
            models["frame"],
            "ns",
            [("plain-Python models and validator", models["twin"]), (PURE_MODE, models["pure"])],
            "≤1.0× twin",
        ),
        Row(
            "  bound: a model attribute read from C, attrgetter",
            reads["from_c"],
            "ns",
            [("the same read in Python, m.result", reads["from_python"])],
            "",
        ),
        Row(
            "prepare_file_paths(3 lists of 10 str)",
            paths["frame"],
            "ns",
            [("plain-Python twin", paths["twin"]), (PURE_MODE, paths["pure"])],
            "≤0.5× twin",
        ),
        Row(
            '_infer_content_type("a.png")',
            content["frame"],
            "ns",
            [("plain-Python twin", content["twin"]), (PURE_MODE, content["pure"])],
            "",
        ),
    ]


# --- memory per suspended coroutine (each variant in a fresh interpreter) -------------

SUSPENDED = 10_000


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def suspended_memory(variant: str) -> dict[str, float]:
    """Bytes per poll_until_complete coroutine suspended in its check, with the
    check's own coroutine measured apart."""
    loop = asyncio.new_event_loop()
    pending = loop.create_future()

    async def check():
        return await pending

    poller = (StatusPoller if variant == "frame" else POLLER_TWIN.StatusPoller)(SimpleNamespace(max_poll_interval=30))
    asyncio.set_event_loop(loop)  # get_event_loop() inside the poll finds it

    def suspend(make):
        coroutines = [make() for _ in range(SUSPENDED)]
        for coroutine in coroutines:
            coroutine.send(None)
            # As a task does on receiving the future, so that the next await
            # of it suspends too.
            pending._asyncio_future_blocking = False
        return coroutines

    def measure(make):
        gc.collect()
        tracemalloc.start()
        before, rss_before = tracemalloc.get_traced_memory()[0], rss_bytes()
        kept = suspend(make)
        after, rss_after = tracemalloc.get_traced_memory()[0], rss_bytes()
        tracemalloc.stop()
        for coroutine in kept:
            coroutine.close()
        return (after - before) / SUSPENDED, (rss_after - rss_before) / SUSPENDED

    # Warm up free lists and code paths once, then measure.
    for coroutine in suspend(lambda: poller.poll_until_complete(check, 1 << 30, 0))[:]:
        coroutine.close()
    check_traced, check_rss = measure(check)
    traced, rss = measure(lambda: poller.poll_until_complete(check, 1 << 30, 0))
    loop.close()
    return {"traced": traced, "rss": rss, "check_traced": check_traced, "check_rss": check_rss}


def in_subprocess(*arguments: str, pure: bool = False) -> dict:
    env = {**os.environ, "VELQUOR_PURE_PYTHON": "1" if pure else "0"}
    completed = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), *arguments], capture_output=True, text=True, check=True, env=env
    )
    return json.loads(completed.stdout.strip().splitlines()[-1])


def memory_rows() -> list[Row]:
    runs = {variant: [in_subprocess("--memory", variant) for _ in range(3)] for variant in ("frame", "native")}
    med = {
        variant: {key: statistics.median(r[key] for r in results) for key in results[0]}
        for variant, results in runs.items()
    }
    ours, native = med["frame"], med["native"]
    return [
        Row(
            f"memory per suspended poll (tracemalloc, {SUSPENDED:,} polls)",
            ours["traced"],
            "B",
            [("native async def poller", native["traced"])],
            "≤1.0× native",
        ),
        Row(
            "  without the awaited check's coroutine",
            ours["traced"] - ours["check_traced"],
            "B",
            [("native async def poller", native["traced"] - native["check_traced"])],
            "",
        ),
        Row("memory per suspended poll (RSS)", ours["rss"], "B", [("native async def poller", native["rss"])], ""),
    ]


# --- import time -----------------------------------------------------------------------

DEPENDENCIES = [
    "asyncio",
    "logging",
    "mimetypes",
    "pathlib",
    "datetime",
    "typing",
    "io",
    "httpx",
    "pydantic",
    "velquor_ai",
    "velquor_ai.exceptions",
    "velquor_ai.config",
    "velquor_ai.models.common",
    "velquor_ai.models.execution",
    "velquor_ai.types",
    "velquor_ai.util.helpers",
    "velquor_ai.resources.base",
    "velquor_api_client",
]
SEVEN = [
    "velquor_ai.util.validators",
    "velquor_ai.models.blueprint",
    "velquor_ai.util.tamsel",
    "velquor_ai.util.poller",
    "velquor_ai.resources.uploads",
    "velquor_ai.resources.generations",
    "velquor_ai._vostrel",
]

# Small C extension modules of the standard library that none of the
# dependencies imports: what seven extension modules cost to import at least.
STDLIB_SEVEN = ["_lsprof", "_statistics", "_queue", "cmath", "syslog", "termios", "_csv"]

_IMPORT_PROBE = """\
import sys, time
sys.path.insert(0, {path!r})
{pre}
started = time.perf_counter_ns()
{imports}
print(time.perf_counter_ns() - started)
"""


def import_ns(modules: list[str], path: str, statements: str = "", pure: bool = False) -> int:
    probe = _IMPORT_PROBE.format(
        path=path,
        pre="\n".join(f"import {m}" for m in DEPENDENCIES + ["ctypes"]),
        imports=statements or "\n".join(f"import {m}" for m in modules),
    )
    env = {**os.environ, "VELQUOR_PURE_PYTHON": "1" if pure else "0"}
    completed = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True, env=env)
    return int(completed.stdout.strip())


def import_rows() -> list[Row]:
    # The twin gets its compiled bytecode ready, as an installed module has; as
    # a top-level module it imports its package's models absolutely.
    with tempfile.TemporaryDirectory() as directory:
        source = Path(VALIDATORS_TWIN.__file__).parent.parent.joinpath("models", "blueprint.py").read_text()
        (Path(directory) / "models_twin.py").write_text(source.replace("from .", "from velquor_ai.models."))
        py_compile.compile(
            str(Path(directory) / "models_twin.py"), invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH
        )
        ours, twin, pure = [], [], []
        for _ in range(5 if QUICK else 11):
            ours.append(import_ns(SEVEN, directory))
            twin.append(import_ns(["models_twin"], directory))
            pure.append(import_ns(SEVEN, directory, pure=True))
        blueprint_only = [import_ns(["velquor_ai.models.blueprint"], directory) for _ in range(5)]
        stdlib = [import_ns(STDLIB_SEVEN, directory) for _ in range(5)]
        runtime = [import_ns([], directory, 'ctypes.CDLL("libstdc++.so.6")') for _ in range(5)]
    return [
        Row(
            "import of the seven modules",
            statistics.median(ours) / 1e6,
            "ms",
            [("plain-Python models module", statistics.median(twin) / 1e6), (PURE_MODE, statistics.median(pure) / 1e6)],
            "≤1.3× twin",
        ),
        Row(
            "  of which velquor_ai.models.blueprint",
            statistics.median(blueprint_only) / 1e6,
            "ms",
            [("plain-Python models module", statistics.median(twin) / 1e6)],
            "",
        ),
        Row("  bound: loading the C++ runtime (libstdc++.so)", statistics.median(runtime) / 1e6, "ms"),
        Row("  bound: seven small C modules of the stdlib", statistics.median(stdlib) / 1e6, "ms"),
    ]


# --- presigned PUT ------------------------------------------------------------------------

PUT_SIZE = 256 * MiB


def put_once(variant: str, url: str, data: bytes) -> float:
    import httpx

    async def frame_put():
        answer = await UploadsResource(None).upload_file_to_s3(url, data, "application/octet-stream")
        assert answer["size"] == len(data)

    async def plain_put():
        async with httpx.AsyncClient() as client:
            response = await client.put(
                url, content=data, headers={"Content-Type": "application/octet-stream"}, timeout=60.0
            )
            assert response.status_code == 200

    started = time.perf_counter_ns()
    asyncio.run(frame_put() if variant == "frame" else plain_put())
    return (time.perf_counter_ns() - started) / 1e9


def put_measure(variant: str, url: str) -> dict:
    """Seconds of three PUTs and the peak of the process's memory above its
    level before the data existed."""
    gc.collect()
    baseline = rss_bytes()
    data = b"\x5a" * PUT_SIZE
    seconds = [put_once(variant, url, data) for _ in range(3)]
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"seconds": seconds, "peak": peak - baseline}


def put_rows() -> list[Row]:
    server = subprocess.Popen(
        [sys.executable, str(BENCH / "upload_server.py")], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        url = f"http://127.0.0.1:{server.stdout.readline().strip()}/bucket/object"
        results = {"frame": [], "httpx": []}
        for _ in range(2 if QUICK else 4):
            for variant in results:
                results[variant].append(in_subprocess("--put", variant, url))
    finally:
        server.stdin.close()
        server.wait(timeout=30)
    seconds = {v: statistics.median(s for r in rs for s in r["seconds"]) for v, rs in results.items()}
    peak = {v: max(r["peak"] for r in rs) for v, rs in results.items()}
    throughput = {v: PUT_SIZE / MiB / s for v, s in seconds.items()}
    return [
        Row(
            "upload_file_to_s3, 256 MiB PUT to 127.0.0.1",
            throughput["frame"],
            "MiB/s",
            [("plain httpx PUT", throughput["httpx"])],
            "≥0.9× httpx",
        ),
        Row(
            "  peak memory above baseline (file included)",
            peak["frame"] / MiB,
            "MiB",
            [("plain httpx PUT", peak["httpx"] / MiB)],
            "≤ 256 + 64 MiB",
        ),
    ]


# --- many generations at once -----------------------------------------------------------

BATCH_JOBS = 300 if QUICK else 1000
BATCH_CONCURRENCY = 64


def batch_measure(variant: str, base_url: str, folder: str) -> dict:
    """Wall and CPU seconds of this process for BATCH_JOBS small jobs, run by
    generate_many or by a hand-written semaphore-and-gather loop."""
    from velquor_ai import AsyncVelquorAI, Job

    files = sorted(Path(folder).iterdir())
    jobs = (Job(f"Question {i}: what is shown?", images=[files[i % len(files)]], key=str(i)) for i in range(BATCH_JOBS))

    async def many(client) -> int:
        done = 0
        async with client.generate_many(jobs, concurrency=BATCH_CONCURRENCY) as outcomes:
            async for outcome in outcomes:
                done += outcome.ok
        return done

    async def plain(client) -> int:
        limit = asyncio.Semaphore(BATCH_CONCURRENCY)

        async def one(job) -> bool:
            async with limit:
                await client.generate(job.question, job.images)
                return True

        return sum(await asyncio.gather(*(one(job) for job in jobs)))

    async def run() -> int:
        async with AsyncVelquorAI(api_key="sk-bench", base_url=base_url) as client:
            return await (many(client) if variant == "many" else plain(client))

    cpu, wall = time.process_time(), time.perf_counter()
    done = asyncio.run(run())
    assert done == BATCH_JOBS, done
    return {"seconds": time.perf_counter() - wall, "cpu": time.process_time() - cpu}


def batch_rows() -> list[Row]:
    service = subprocess.Popen(
        [sys.executable, str(BENCH / "local_service.py")], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )

    def service_cpu() -> float:
        service.stdin.write("cpu\n")
        service.stdin.flush()
        return float(service.stdout.readline())

    try:
        base_url = service.stdout.readline().strip()
        with tempfile.TemporaryDirectory() as folder:
            for index in range(50):
                Path(folder, f"input-{index}.png").write_bytes(b"%d " % index * (40 + index))
            # generate_many on the compiled modules and on their Python, and a plain loop.
            results = {"many": [], "plain": [], "pure": []}
            served = {"many": [], "plain": [], "pure": []}
            for _ in range(1 if QUICK else 2):
                for variant in results:
                    before = service_cpu()
                    arguments = ("--batch", "many" if variant == "pure" else variant, base_url, folder)
                    results[variant].append(in_subprocess(*arguments, pure=variant == "pure"))
                    served[variant].append(service_cpu() - before)
    finally:
        service.stdin.close()
        service.wait(timeout=30)
    rate = {v: statistics.median(BATCH_JOBS / r["seconds"] for r in rs) for v, rs in results.items()}
    client_ms = {v: statistics.median(r["cpu"] for r in rs) / BATCH_JOBS * 1e3 for v, rs in results.items()}
    service_ms = statistics.median(served["many"]) / BATCH_JOBS * 1e3
    return [
        Row(
            f"generate_many, {BATCH_JOBS:,} small jobs, concurrency {BATCH_CONCURRENCY}",
            rate["many"],
            "jobs/s",
            [("semaphore + gather over generate", rate["plain"]), (PURE_MODE, rate["pure"])],
            "≥0.9× plain",
        ),
        Row(
            "  client CPU per job",
            client_ms["many"],
            "ms",
            [
                ("the service's CPU per job (other process)", service_ms),
                ("semaphore + gather over generate", client_ms["plain"]),
                (PURE_MODE, client_ms["pure"]),
            ],
            "",
        ),
    ]


# --- the first call on a loop, many generations at once -----------------------------------


def first_rows() -> list[Row]:
    return generations.first_rows(quick=QUICK)


def load_rows() -> list[Row]:
    return generations.load_rows(quick=QUICK)


# --- uploads through generate ---------------------------------------------------------


def upload_rows() -> list[Row]:
    return uploads.upload_rows(quick=QUICK)


# --- main -----------------------------------------------------------------------------------


def main() -> None:
    if "--instructions" in sys.argv:
        import instructions

        sys.exit(instructions.main(sys.argv[1:]))
    if sys.argv[1:2] == ["--memory"]:
        print(json.dumps(suspended_memory(sys.argv[2])))
        return
    if sys.argv[1:2] == ["--put"]:
        print(json.dumps(put_measure(sys.argv[2], sys.argv[3])))
        return
    if sys.argv[1:2] == ["--batch"]:
        print(json.dumps(batch_measure(*sys.argv[2:5])))
        return
    import velquor_ai.util.validators as validators

    print(
        f"velquor_ai benchmarks: {platform.machine()}, {os.cpu_count()} cores, "
        f"CPython {platform.python_version()}, module {Path(validators.__file__).parent.parent}"
    )
    print("Times in ns per operation include the benchmark loop's own cost (first row).\n")
    sections = [
        call_rows,
        coroutine_rows,
        poll_rows,
        sync_rows,
        memory_rows,
        import_rows,
        batch_rows,
        first_rows,
        load_rows,
    ]
    if "--no-put" not in sys.argv:
        sections.append(put_rows)
    if "--no-upload" not in sys.argv:
        sections.append(upload_rows)
    if "--only" in sys.argv:
        wanted = sys.argv[sys.argv.index("--only") + 1].split(",")
        sections = [s for s in sections if s.__name__[:-5] in wanted]
    rows: list[Row] = []
    for section in sections:
        started = time.perf_counter()
        rows.extend(section())
        print(f"  {section.__name__[:-5]:10s} measured in {time.perf_counter() - started:5.1f} s", file=sys.stderr)
    print(harness.table(rows, markdown="--markdown" in sys.argv))


if __name__ == "__main__":
    main()
