"""Soak: every function and coroutine of the compiled modules, on its success and
failure paths, round after round, while the live objects, the interpreter's
allocated blocks and the resident memory are watched.

After a warm-up (caches of pydantic, typing, re and the frame fill up), the
figures are taken at two checkpoints `rounds` apart; growth between them beyond
a small bound means something is kept per call: a leaked reference, a
coroutine frame never freed, an exception cycle.

    python tests/soak.py --rounds 20000     # make soak
    (tests/test_soak.py runs a short one as part of the suite)

The collaborators are in-process fakes (awaitables that yield to the event
loop once), so a round is fast and the figures are not blurred by sockets.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import io
import logging
import os
import sys
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Awaitable, Callable

from support import Config, Status

from velquor_ai import _vostrel
from velquor_ai.models.blueprint import GenerationResult, GenerationStatus
from velquor_ai.resources import uploads as uploads_module
from velquor_ai.resources.generations import GenerationsResource
from velquor_ai.resources.uploads import UploadsResource
from velquor_ai.util.poller import StatusPoller
from velquor_ai.util.tamsel import FileHandler
from velquor_ai.util.validators import validate_execution_id, validate_generation_id

PAGE = os.sysconf("SC_PAGE_SIZE")


class Reply:
    """An awaitable that yields to the event loop once, then returns or raises."""

    def __init__(self, value: Any = None, error: BaseException | None = None) -> None:
        self.value = value
        self.error = error

    def __await__(self) -> Any:
        yield None
        if self.error is not None:
            raise self.error
        return self.value


ANSWER = {
    "generation_id": "gen_1",
    "status": "processing",
    "blueprint": None,
    "result": {"blueprint": "{}"},
    "estimated_time": 3,
}


class FakeHTTP:
    def __init__(self, answer: Any = ANSWER, error: BaseException | None = None) -> None:
        self.answer = answer
        self.error = error

    def post(self, path: str, json: Any = None) -> Reply:
        return Reply(dict(self.answer) if isinstance(self.answer, dict) else self.answer, self.error)

    def get(self, path: str) -> Reply:
        return self.post(path)


class S3Response:
    def __init__(self, status_code: int) -> None:
        self.status_code = status_code
        self.text = "body"


class S3Client:
    def __init__(self, status: int, error: BaseException | None) -> None:
        self.status = status
        self.error = error

    async def __aenter__(self) -> S3Client:
        return self

    async def __aexit__(self, *exc_info: Any) -> bool:
        return False

    def put(self, url: str, **kwargs: Any) -> Reply:
        return Reply(S3Response(self.status), self.error)


class FakeHttpx:
    status = 200
    error: BaseException | None = None

    def AsyncClient(self) -> S3Client:  # noqa: N802 - httpx's name
        return S3Client(self.status, self.error)


class OnPremise:
    def __init__(self, fail: bool = False) -> None:
        self.fail = fail

    def generate_blueprint(self, question: str, input_data: Any) -> Reply:
        return Reply('{"steps": []}', LookupError("no model") if self.fail else None)

    def validate_blueprint(self, text: str) -> str:
        return text

    def execute_blueprint(self, blueprint: str, input_data: list[str]) -> Reply:
        return Reply({"output": ["out/a.json", "word", 3]}, LookupError("no runner") if self.fail else None)


def checks(*statuses: str) -> Callable[[], Reply]:
    remaining = list(statuses)
    return lambda: Reply(Status(remaining.pop(0), error="model failed"))


async def expect(awaitable: Awaitable[Any] | Callable[[], Any], error: type[BaseException] | None = None) -> None:
    """Awaits (or calls) and checks the outcome; a wrong outcome stops the soak."""
    try:
        result = awaitable() if callable(awaitable) else await awaitable
        if asyncio.iscoroutine(result):
            await result
    except BaseException as caught:  # noqa: BLE001 - compared with what is expected
        if error is None or not isinstance(caught, error):
            raise
        return
    if error is not None:
        raise AssertionError(f"expected {error.__name__}")


@dataclass
class Files:
    small: str
    large: str


async def one_round(files: Files, httpx: FakeHttpx) -> None:
    from velquor_ai.exceptions import TimeoutError as SDKTimeoutError
    from velquor_ai.exceptions import ValidationError

    # validators
    await expect(lambda: validate_generation_id("gen_1"))
    await expect(lambda: validate_execution_id(""), ValidationError)
    await expect(lambda: validate_generation_id("a/b"), ValidationError)
    await expect(lambda: validate_execution_id(5), TypeError)
    await expect(lambda: validate_generation_id(), TypeError)

    # poller, through real asyncio sleeps of 0 seconds
    polling = StatusPoller(Config())
    await expect(polling.poll_until_complete(checks("pending", "completed"), 10, 0))
    await expect(polling.poll_until_complete(checks("failed"), 10, 0, lambda status: None), RuntimeError)
    await expect(polling.poll_until_complete(checks("pending"), -1, 0), SDKTimeoutError)
    await expect(polling.poll_until_complete(lambda: Reply(error=KeyError("check")), 10, 0), KeyError)
    await expect(lambda: polling.poll_until_complete(checks(), "10", 0), TypeError)
    task = asyncio.ensure_future(polling.poll_until_complete(lambda: asyncio.sleep(3600), 10, 0))
    await asyncio.sleep(0)
    task.cancel()
    await expect(task, asyncio.CancelledError)

    # file handler
    handler = FileHandler(Config())
    await expect(lambda: handler.read_file(handler.prepare_file(files.small, "image")))
    await expect(lambda: handler.prepare_file(Path(files.large), "video"), ValidationError)
    await expect(lambda: handler.prepare_file(files.small + ".missing", "image"), ValidationError)
    await expect(lambda: handler.read_file(handler.prepare_file(io.BytesIO(b"data"), "image")))
    await expect(lambda: handler.read_file({}), ValidationError)
    await expect(lambda: handler.prepare_file(b"bytes", "image"), ValidationError)
    await expect(lambda: handler.read_file([]), TypeError)

    # models
    await expect(lambda: GenerationResult(**ANSWER))
    await expect(lambda: GenerationStatus(generation_id="g"), Exception)

    # uploads
    http = FakeHTTP({"upload_urls": []})
    resource = UploadsResource(http)
    await expect(resource.get_generation_upload_urls("gen_1", ["a.png", "b.mp4", "c"]))
    await expect(resource.get_execution_upload_urls("", ["a.png"]), ValidationError)
    await expect(UploadsResource(FakeHTTP([1])).get_execution_upload_urls("e", []), TypeError)
    await expect(lambda: resource.get_generation_upload_urls("gen_1", ("a.png",)), TypeError)
    await expect(resource.get_generation_upload_urls("gen_1", [5]), TypeError)
    httpx.status, httpx.error = 201, None
    await expect(resource.upload_file_to_s3("http://s3/k", b"data", "image/png"))
    httpx.status = 403
    await expect(resource.upload_file_to_s3("http://s3/k", b"data"), Exception)
    httpx.error = ConnectionResetError("reset")
    await expect(resource.upload_file_to_s3("http://s3/k", b""), ConnectionResetError)
    await expect(resource.upload_files([{"filename": "a.png"}, {}]))
    await expect(resource.upload_files([5]), AttributeError)

    # generations
    generations = GenerationsResource(FakeHTTP(), resource)
    await expect(generations.create("What is shown?"))
    await expect(generations.start("gen_1"))
    await expect(generations.get_result("gen_1"))
    await expect(generations.get_upload_urls("gen_1", ["a.png"]))
    await expect(generations.start(""), ValidationError)
    await expect(GenerationsResource(FakeHTTP(None), resource).get_result("gen_1"), TypeError)
    await expect(GenerationsResource(FakeHTTP({"status": "bogus"}), resource).create("q"), Exception)
    await expect(GenerationsResource(FakeHTTP(error=OSError("down")), resource).create("q"), OSError)

    # on-premise
    await expect(lambda: _vostrel.prepare_file_paths(["a.png", Path("b.mp4")], None, []))
    await expect(lambda: _vostrel.prepare_file_paths([b"bytes"]), ValueError)
    await expect(lambda: _vostrel.prepare_file_paths(x=1), TypeError)
    await expect(lambda: _vostrel.create_execution_result({"output": ["a/b", "c"]}))
    await expect(_vostrel.generate_blueprint_vostrel(OnPremise(), "q", [files.small], None))
    await expect(_vostrel.generate_blueprint_vostrel(OnPremise(fail=True), "q", None, None), LookupError)
    await expect(_vostrel.execute_blueprint_vostrel(OnPremise(), '{"steps": []}', [files.small]))
    await expect(_vostrel.execute_blueprint_vostrel(OnPremise(), '{"steps": []}', None), ValueError)
    await expect(_vostrel.execute_blueprint_vostrel(OnPremise(fail=True), {"steps": [1]}, ["x"]), LookupError)

    # the coroutine protocol by hand: dropped unstarted, closed and thrown into while suspended
    _vostrel.generate_blueprint_vostrel(OnPremise(), "q", None, None)
    suspended = generations.create("q")
    suspended.send(None)
    suspended.close()
    suspended = resource.get_generation_upload_urls("gen_1", ["a.png"])
    suspended.send(None)
    await expect(lambda: suspended.throw(ValueError("thrown")), ValueError)


@dataclass
class Figures:
    objects: int
    blocks: int
    rss: int

    @staticmethod
    def now() -> Figures:
        gc.collect()
        with open("/proc/self/statm") as statm:
            rss = int(statm.read().split()[1]) * PAGE
        return Figures(len(gc.get_objects()), sys.getallocatedblocks(), rss)

    def minus(self, other: Figures) -> Figures:
        return Figures(self.objects - other.objects, self.blocks - other.blocks, self.rss - other.rss)


@dataclass
class Bounds:
    """Growth allowed over one stretch: noise of the interpreter's caches, far
    below one object or block kept per round."""

    objects: int
    blocks: int
    rss: int = 16 << 20

    @staticmethod
    def for_rounds(rounds: int) -> Bounds:
        bounds = Bounds(objects=50 + rounds // 10, blocks=200 + rounds // 4)
        if "ASAN_OPTIONS" in os.environ:
            # AddressSanitizer's quarantine keeps freed memory resident; live
            # objects and allocated blocks still bound the run there.
            bounds.rss = sys.maxsize
        return bounds


def soak(
    rounds: int, warmup: int = 300, bounds: Bounds | None = None, report: Callable[[str], None] = print
) -> Figures:
    """Runs warm-up, then `rounds` rounds twice; returns the growth over the second stretch."""
    bounds = bounds or Bounds.for_rounds(rounds)
    logger = logging.getLogger("velquor_ai")
    saved = (logger.level, logger.propagate, list(logger.handlers))
    logger.setLevel(logging.DEBUG)  # every log call formats and emits its record
    logger.propagate = False
    logger.handlers = [logging.NullHandler()]
    httpx = FakeHttpx()
    saved_httpx = uploads_module.httpx
    uploads_module.httpx = httpx
    try:
        with tempfile.TemporaryDirectory() as directory, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            files = Files(os.path.join(directory, "small.png"), os.path.join(directory, "large.mp4"))
            Path(files.small).write_bytes(b"\x89PNG" * 10)
            Path(files.large).write_bytes(b"x" * 5000)

            async def stretch(count: int) -> None:
                for _ in range(count):
                    await one_round(files, httpx)

            asyncio.run(stretch(warmup))
            start = Figures.now()
            asyncio.run(stretch(rounds))
            middle = Figures.now()
            asyncio.run(stretch(rounds))
            end = Figures.now()
    finally:
        uploads_module.httpx = saved_httpx
        logger.level, logger.propagate, logger.handlers = saved[0], saved[1], saved[2]
    first, second = middle.minus(start), end.minus(middle)
    report(f"soak: {rounds} rounds per stretch after {warmup} warm-up rounds")
    report(
        f"  live objects   {start.objects} -> {middle.objects} -> {end.objects} (second stretch {second.objects:+d})"
    )
    report(f"  allocated blocks {start.blocks} -> {middle.blocks} -> {end.blocks} (second stretch {second.blocks:+d})")
    report(
        f"  RSS {start.rss >> 10} KiB -> {middle.rss >> 10} KiB -> {end.rss >> 10} KiB "
        f"(second stretch {second.rss >> 10:+d} KiB, first {first.rss >> 10:+d} KiB)"
    )
    problems = [
        f"{name} grew by {getattr(second, name)} (bound {getattr(bounds, name)})"
        for name in ("objects", "blocks", "rss")
        if getattr(second, name) > getattr(bounds, name)
    ]
    if problems:
        raise AssertionError("; ".join(problems))
    return second


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20000)
    parser.add_argument("--warmup", type=int, default=500)
    arguments = parser.parse_args()
    soak(arguments.rounds, arguments.warmup)


if __name__ == "__main__":
    main()
