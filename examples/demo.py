"""A tour of velquor_ai: a remote generation over real HTTP with the blocking
client `VelquorAI`; a failed generation, a wait that runs out and is resumed,
and a small batch; then on-premise mode with the async client `AsyncVelquorAI`.

The remote part runs against `LocalService`, a real service on 127.0.0.1 that this
script starts (the `local` extra). Sample inputs are made in a temporary folder:
two small PNG pictures and a few bytes standing for an MP4 clip.

Run it with `make demo`, or `python examples/demo.py` from anywhere.
"""

from __future__ import annotations

import asyncio
import json
import struct
import sys
import tempfile
import zlib
from pathlib import Path

import velquor_ai
from velquor_ai import (
    AsyncVelquorAI,
    GenerationFailedError,
    GenerationTimeoutError,
    Job,
    ProgressEvent,
    VelquorAI,
)
from velquor_ai.testing import LocalService

API_KEY = "sk-demo"


def png(width: int, height: int, rgb: tuple[int, int, int]) -> bytes:
    """A valid PNG image of one colour."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    row = b"\x00" + bytes(rgb) * width  # filter byte, then the pixels
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(row * height))
        + chunk(b"IEND", b"")
    )


def make_samples(folder: Path) -> tuple[list[Path], list[Path]]:
    images = [folder / "red-square.png", folder / "blue-banner.png"]
    images[0].write_bytes(png(16, 16, (220, 30, 30)))
    images[1].write_bytes(png(64, 8, (30, 60, 220)))
    video = folder / "clip.mp4"
    # An MP4 file begins with an "ftyp" box; the rest stands in for media data.
    video.write_bytes(struct.pack(">I", 24) + b"ftypisom" + b"\x00" * 12 + bytes(4096))
    return images, [video]


def show_progress(event: ProgressEvent) -> None:
    if event.kind == "created":
        print(f"  created generation {event.generation_id}")
    elif event.kind == "upload" and event.done:
        print(f"  uploaded {event.filename} ({event.size} bytes, {event.done}/{event.total})")
    elif event.kind == "started":
        print("  started; polling for the result")
    elif event.kind == "status":
        print(f"  status: {event.status}")


def print_blueprint(text: str | None) -> None:
    if text is None:
        print("  (no blueprint)")
        return
    document = json.loads(text)
    print(f"  question: {document['question']}")
    for entry in document["inputs"]:
        print(
            f"  input: {entry['name']} {entry['content_type']} {entry['size']} bytes sha256={entry['sha256'][:12]}..."
        )
    print(f"  steps: {', '.join(step['action'] for step in document['steps'])}")


def remote_generation(images: list[Path], videos: list[Path]) -> str:
    print("== Remote generation against a local service over HTTP (VelquorAI)")
    with LocalService(api_key=API_KEY, processing_time=1.0) as service:
        print(f"  service at {service.base_url}")
        with VelquorAI(api_key=API_KEY, base_url=service.base_url) as client:
            result = client.generate(
                "What is in these pictures and the clip?",
                images=images,
                videos=videos,
                interval=1,
                on_progress=show_progress,
            )
        print(f"  storage holds {len(service.objects)} uploaded object(s)")
    print(f"Generation {result.generation_id}: {result.status}")
    print_blueprint(result.blueprint)
    assert result.blueprint is not None
    return result.blueprint


def errors_resume_and_batch(images: list[Path]) -> None:
    print("\n== Errors, a resumed wait and a batch (VelquorAI)")
    with LocalService(api_key=API_KEY, processing_time=0.5) as service:
        service.failing_questions.add("What can nobody answer?")
        with VelquorAI(api_key=API_KEY, base_url=service.base_url) as client:
            try:
                client.generate("What can nobody answer?", images=images[:1], interval=1)
            except GenerationFailedError as error:
                print(f"  failed as expected: {error} (generation {error.generation_id})")
            try:
                client.generate("What is in the first picture?", images=images[:1], timeout=0.2, interval=1)
            except GenerationTimeoutError as error:
                assert error.generation_id is not None  # the generation exists: it can be resumed
                print(f"  the wait ran out; resuming generation {error.generation_id}")
                resumed = client.wait_for_result(error.generation_id, interval=1)
                print(f"  resumed: {resumed.status}")
            jobs = [Job(f"What is in picture {i}?", images=[image], key=image.name) for i, image in enumerate(images)]
            jobs.append(Job("What can nobody answer?", images=images[:1], key="unanswerable"))
            outcomes = {outcome.key: outcome for outcome in client.generate_many(jobs, concurrency=2, interval=1)}
    for key, outcome in sorted(outcomes.items()):
        print(f"  batch job {key}: {'completed' if outcome.ok else type(outcome.error).__name__}")
    assert [key for key, outcome in outcomes.items() if not outcome.ok] == ["unanswerable"]


async def on_premise(images: list[Path], videos: list[Path], workdir: Path, remote: str) -> None:
    print("\n== On-premise generation and execution (AsyncVelquorAI)")
    async with AsyncVelquorAI.on_premise(workdir=workdir) as client:
        generated = await client.generate("What is in these pictures and the clip?", images=images, videos=videos)
        print(f"Generation {generated.generation_id}: {generated.status}")
        print_blueprint(generated.blueprint)
        same = generated.blueprint == remote
        print(f"  same blueprint as the remote service: {'yes' if same else 'no'}")

        executed = await client.execute(generated.blueprint or "", images + videos)
        print(f"Execution {executed.execution_id}: {executed.status}")
        print(f"  {(executed.results or {}).get('answer')}")
        for path in executed.output_files:
            report = json.loads(Path(path).read_text(encoding="utf-8"))
            print(f"  report {Path(path).name}: {report['input']['name']} described")


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="velquor-demo-") as folder:
        root = Path(folder)
        images, videos = make_samples(root)
        core = "compiled" if velquor_ai.compiled else "pure-Python"
        print(f"velquor_ai {velquor_ai.__version__}, {core} core modules\n")
        blueprint = remote_generation(images, videos)
        errors_resume_and_batch(images)
        asyncio.run(on_premise(images, videos, root / "outputs", blueprint))
    print("\nDemo finished.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
