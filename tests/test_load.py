"""Load: many coroutines at once on one event loop.

Ten thousand concurrent polls complete, and the memory a suspended poll holds
is measured beside a native `async def` poller doing the same work (generous
bounds are asserted; the figures show when one fails). A thousand concurrent remote generations
with uploads run against the local service: that part is slow and runs in
`make soak` (VELQUOR_LOAD=1), not in every run of the suite.
"""

from __future__ import annotations

import asyncio
import gc
import os
import tracemalloc
import weakref
from collections import Counter
from pathlib import Path
from typing import Any, Callable

import pytest
from support import Config, Status, load_twin

from velquor_ai.util.poller import StatusPoller

POLLS = 10_000


async def run_polls(poll: Callable[..., Any]) -> tuple[int, int, Counter[str]]:
    """Starts POLLS polls; returns the memory held while all are suspended in
    their first check, the memory left once they are done, and how many ended
    with each status."""
    gate = asyncio.Event()
    pending = Status("pending")
    completed = Status("completed")

    def make_check() -> Callable[[], Any]:
        calls = 0

        async def check() -> Status:
            nonlocal calls
            calls += 1
            if calls == 1:
                await gate.wait()
            return completed if calls == 3 else pending

        return check

    gc.collect()
    start = tracemalloc.get_traced_memory()[0]
    checks = [make_check() for _ in range(POLLS)]
    before = tracemalloc.get_traced_memory()[0]
    tasks = [asyncio.ensure_future(poll(check)) for check in checks]
    alive = [weakref.ref(task.get_coro()) for task in tasks]
    await asyncio.sleep(0)  # every poll runs up to its first check, and waits there
    held = tracemalloc.get_traced_memory()[0] - before
    gate.set()
    results = await asyncio.gather(*tasks)
    done = Counter(result.status for result in results)
    del tasks, checks, results
    # The loop's handle that resumed this coroutine still refers to the
    # gathering future (and so to every task) until this step ends.
    await asyncio.sleep(0)
    gc.collect()
    assert not any(ref() for ref in alive)  # every finished poll is freed
    del alive
    # From before the checks were made: they are gone too.
    left = tracemalloc.get_traced_memory()[0] - start
    return held, left, done


class Pending:
    def __await__(self) -> Any:
        yield
        return Status("completed")


async def suspended_coroutine_size(make: Callable[[], Any]) -> float:
    """Bytes per coroutine suspended in its first await, the coroutine alone."""
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    coroutines = [make() for _ in range(POLLS)]
    for coroutine in coroutines:
        coroutine.send(None)
    size = (tracemalloc.get_traced_memory()[0] - before) / POLLS
    for coroutine in coroutines:
        coroutine.close()
    return size


@pytest.mark.slow
def test_ten_thousand_concurrent_polls_complete_and_hold_little_memory() -> None:
    frame_poller = StatusPoller(Config())
    native_poller = load_twin("velquor_ai.util.poller").StatusPoller(Config())
    figures: dict[str, tuple[int, int]] = {}
    # A first round grows the loop's and asyncio's tables to size, so that both
    # measured rounds start alike.
    asyncio.run(run_polls(lambda check: native_poller.poll_until_complete(check, 60, 0)))
    tracemalloc.start()
    try:
        for name, poll in [
            ("frame", lambda check: frame_poller.poll_until_complete(check, 60, 0)),
            ("native", lambda check: native_poller.poll_until_complete(check, 60, 0)),
        ]:
            held, left, results = asyncio.run(run_polls(poll))
            assert results == {"completed": POLLS}
            figures[name] = (held, left)
        check = Pending
        alone = {
            "frame": asyncio.run(suspended_coroutine_size(lambda: frame_poller.poll_until_complete(check, 60, 0))),
            "native": asyncio.run(suspended_coroutine_size(lambda: native_poller.poll_until_complete(check, 60, 0))),
        }
    finally:
        tracemalloc.stop()
    frame_per_poll, native_per_poll = figures["frame"][0] / POLLS, figures["native"][0] / POLLS
    report = (
        f"{POLLS} suspended polls, memory held per poll (task, check coroutine and event waiter "
        f"included): frame {frame_per_poll:.0f} B, native {native_per_poll:.0f} B; "
        f"left after completion: frame {figures['frame'][1]} B, native {figures['native'][1]} B; "
        f"the suspended poll coroutine alone: frame {alone['frame']:.0f} B, native {alone['native']:.0f} B"
    )
    assert frame_per_poll < 2 * native_per_poll + 1024, report
    assert alone["frame"] < 2 * alone["native"] + 256, report
    # What is left once all are done is the loop's own (some KiB): a poll
    # keeping even the smallest object would leave 16 B or more each.
    assert max(figures["frame"][1], figures["native"][1]) < 8 * POLLS, report


# --- a thousand remote generations against the local service ------------------------------

GENERATIONS = 1000


@pytest.mark.skipif(not os.environ.get("VELQUOR_LOAD"), reason="a long run: `make soak` runs it (VELQUOR_LOAD=1)")
def test_a_thousand_concurrent_generations_with_uploads(
    service: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    from velquor_ai import AsyncVelquorAI

    image = tmp_path / "photo.png"
    image.write_bytes(b"\x89PNG\r\n" + bytes(range(256)) * 8)
    video = tmp_path / "clip.mp4"
    video.write_bytes(b"\x00\x00\x00\x18ftypmp42" * 64)

    async def main() -> list[Any]:
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, timeout=120) as client:
            return await asyncio.gather(
                *(
                    client.generate(
                        f"What is shown in #{n}?",
                        images=[image],
                        videos=[video] if n % 2 else None,
                        timeout=600,
                        interval=1,
                    )
                    for n in range(GENERATIONS)
                )
            )

    results = asyncio.run(main())
    objects = service.objects
    requests = service.requests
    assert len({result.generation_id for result in results}) == GENERATIONS
    assert all(result.status == "completed" and result.blueprint for result in results)
    assert len(objects) == GENERATIONS + GENERATIONS // 2
    assert {obj.data for obj in objects.values()} == {image.read_bytes(), video.read_bytes()}
    puts = sum(1 for method, _ in requests if method == "PUT")
    assert puts == len(objects)  # every upload once: no retries
    with capsys.disabled():
        print(f"\n{GENERATIONS} concurrent generations completed; {puts} uploads, {len(requests)} requests in all")
