"""Many generations at once: bounded concurrency over a lazily read list of jobs.

`AsyncVelquorAI.generate_many` (and the synchronous client's twin) hand each job
to `generate`, keep at most `concurrency` of them in flight, and yield one
`JobOutcome` per job as soon as it ends, in the order they end:

    jobs = (Job(row.question, images=[row.path], key=row.id) for row in rows)
    async with client.generate_many(jobs, concurrency=32) as outcomes:
        async for outcome in outcomes:
            if outcome.ok:
                save(outcome.key, outcome.result.blueprint)
            else:
                print(outcome.key, "failed:", outcome.error)

The jobs are read one at a time, only when a slot is free, so a generator over a
file of a million lines never holds more than `concurrency` of them. A failing
job becomes an outcome with its error; it never stops the others. Closing the
iteration (`aclose()`, leaving the `async with`, cancelling the task that
iterates, or dropping the iterator after `break`) cancels the generations in
flight, which close their files and connections as they unwind.

`GenerationBatch` is the loop itself, generic over what each job does; the
`batch` command drives it with a job runner of its own (see
`velquor_ai._batch_command`).
"""

from __future__ import annotations

import asyncio
import functools
from collections import deque
from collections.abc import (
    AsyncIterable,
    AsyncIterator,
    Awaitable,
    Callable,
    Coroutine,
    Iterable,
    Iterator,
    Mapping,
    Sequence,
)
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Protocol, Self, TypeGuard, TypeVar

import httpx

from ._checks import check_callback, check_concurrency, check_event_loop, check_file_list
from ._progress import ProgressCallback, ProgressEvent
from .exceptions import ValidationError, VelquorAIError

if TYPE_CHECKING:
    from .models.blueprint import GenerationResult
    from .types import FileInput, QueryValue

__all__ = [
    "DEFAULT_CONCURRENCY",
    "BatchProgressCallback",
    "GenerationBatch",
    "Job",
    "JobKey",
    "JobOutcome",
    "generate_many",
    "iterate_blocking",
]

DEFAULT_CONCURRENCY = 16

ItemT = TypeVar("ItemT")
OutcomeT = TypeVar("OutcomeT")

_END = object()  # what a source gives once it is exhausted

JobKey = str | int
"""What names a job: a non-empty string or an integer."""

BatchProgressCallback = Callable[[JobKey, ProgressEvent], object]
"""Called as `on_progress(key, event)` for each step of each job's generation."""


def is_job_key(value: object) -> TypeGuard[JobKey]:
    """Whether `value` can name a job: a non-empty string or an integer (not a bool)."""
    return not isinstance(value, bool) and isinstance(value, (str, int)) and value != ""


class SupportsGenerate(Protocol):
    """What `generate_many` asks of a client: `AsyncVelquorAI.generate`."""

    def generate(
        self,
        question: str,
        images: Iterable[FileInput] | None = None,
        videos: Iterable[FileInput] | None = None,
        *,
        timeout: float,
        interval: float,
        on_progress: ProgressCallback | None,
        idempotency_key: str | None,
        extra_headers: Mapping[str, str] | None,
        extra_query: Mapping[str, QueryValue] | None,
        extra_body: Mapping[str, Any] | None,
        request_timeout: float | httpx.Timeout | None,
    ) -> Awaitable[GenerationResult]:
        """Run one generation to its end."""
        ...


_JOB_FIELDS = frozenset({"question", "images", "videos", "key", "idempotency_key"})


@dataclass(frozen=True, slots=True)
class Job:
    """One generation to run in a batch.

    Attributes:
        question: The question to answer.
        images: Image files (paths, binary file objects, (filename, content)
            pairs), as for `generate`.
        videos: Video files, in the same forms.
        key: The caller's name for the job, a non-empty string or an integer
            (a row number, a database id), echoed unchanged in its outcome and
            progress reports; None for the job's position in the input ("0",
            "1", ...).
        idempotency_key: Sent with the generation's create request, so that
            running the same job again with the same key does not create a
            second generation; None for none.

    Raises:
        ValidationError: If `key` or `idempotency_key` is of a kind refused
            above, when the job is made.

    Examples:
        >>> Job("What is shown?", images=["cat.png"], key="cat")
        Job(question='What is shown?', images=['cat.png'], videos=(), key='cat', ...)
        >>> Job("What is shown?", key=17).key
        17
    """

    question: str
    images: Sequence[FileInput] = ()
    videos: Sequence[FileInput] = ()
    key: JobKey | None = None
    idempotency_key: str | None = None

    def __post_init__(self) -> None:
        key = self.key
        if key is not None and not is_job_key(key):
            raise ValidationError(
                f"A job's key must be a non-empty string or an integer, not {key!r}",
                field="key",
            )
        token = self.idempotency_key
        if token is not None and (not isinstance(token, str) or not token):
            raise ValidationError("A job's idempotency_key must be a non-empty string", field="idempotency_key")


@dataclass(frozen=True, slots=True)
class JobOutcome:
    """How one job of a batch ended.

    Attributes:
        key: The job's key as given (its position in the input, as text,
            when it had none).
        result: The completed `GenerationResult`, or None if the job failed.
        error: The exception that ended the job, or None if it completed. After
            the generation was created it carries `generation_id`.
        job: The job as it was run, or None when the input item was not a job.
    """

    key: JobKey
    result: GenerationResult | None
    error: VelquorAIError | None
    job: Job | None = None

    @property
    def ok(self) -> bool:
        """Whether the job completed."""
        return self.error is None

    @property
    def generation_id(self) -> str | None:
        """Identifier of the job's generation, if one was created."""
        if self.result is not None:
            return self.result.generation_id
        return getattr(self.error, "generation_id", None)


class GenerationBatch(AsyncIterator[OutcomeT], Generic[ItemT, OutcomeT]):
    """Run `run(item, index)` for each item of a source, `concurrency` at a time,
    and iterate over what the runs return as each one finishes.

    Items are taken from the source only when a slot is free. An exception that a
    run lets out (anything but the outcomes it returns) ends the iteration: the
    other runs are cancelled and the exception is raised to the caller.

    Use it with `async with` (or call `aclose()`) to cancel what is in flight as
    soon as the caller stops iterating; a batch dropped unfinished cancels its
    runs when it is garbage collected.
    """

    def __init__(
        self,
        source: Iterable[ItemT] | AsyncIterable[ItemT],
        concurrency: int,
        run: Callable[[ItemT, int], Coroutine[Any, Any, OutcomeT]],
    ) -> None:
        """Set the batch up; nothing is read or started before the first step.

        Args:
            source: The items, as an iterable or an async iterable.
            concurrency: Most runs in flight at once (>= 1).
            run: Coroutine function called with an item and its position.

        Raises:
            ValidationError: If `concurrency` is not a positive integer or
                `source` is not iterable.
        """
        self._concurrency = check_concurrency(concurrency)
        self._source = _check_source(source)
        self._run = run
        self._items: Iterator[ItemT] | AsyncIterator[ItemT] | None = None
        self._pending: set[asyncio.Task[OutcomeT]] = set()
        self._finished: deque[asyncio.Task[OutcomeT]] = deque()
        self._fetching: asyncio.Task[Any] | None = None
        self._next_index = 0
        self._exhausted = False
        self._closed = False

    @property
    def in_flight(self) -> int:
        """How many runs are going on now."""
        return len(self._pending)

    def __aiter__(self) -> Self:
        """Return the batch itself."""
        return self

    async def __anext__(self) -> OutcomeT:
        """Wait for the next run to finish and return what it returned.

        Raises:
            StopAsyncIteration: When every item has been run and returned.
        """
        if self._closed:
            raise StopAsyncIteration
        check_event_loop()
        try:
            while not self._finished:
                self._fill()
                waiting = set(self._pending)
                if self._fetching is not None:
                    waiting.add(self._fetching)
                if not waiting:
                    break
                done, _ = await asyncio.wait(waiting, return_when=asyncio.FIRST_COMPLETED)
                if self._closed:  # by another task meanwhile
                    raise StopAsyncIteration
                fetching = self._fetching
                if fetching is not None and fetching in done:
                    self._fetching = None
                    done.discard(fetching)
                    self._start(fetching.result())
                self._pending -= done
                self._finished.extend(done)
            if self._finished:
                return self._finished.popleft().result()
        except BaseException:
            # A failing run or source, or the iterating task cancelled: nothing
            # of this batch may outlive the iteration.
            await self.aclose()
            raise
        await self.aclose()
        raise StopAsyncIteration

    def _fill(self) -> None:
        """Start runs until `concurrency` are in flight or the source is empty.

        An async source is asked for its next item by a task of its own, waited
        for beside the runs, so that a source slow to produce (a queue fed by
        the caller) never holds back the outcomes of finished runs.
        """
        if self._items is None:
            source = self._source
            self._items = aiter(source) if isinstance(source, AsyncIterable) else iter(source)
        items = self._items
        while not self._exhausted and self._fetching is None and len(self._pending) < self._concurrency:
            if isinstance(items, AsyncIterator):
                self._fetching = asyncio.create_task(_next_item(items))
                return
            self._start(next(items, _END))

    def _start(self, item: Any) -> None:
        if item is _END:
            self._exhausted = True
            return
        index = self._next_index
        self._next_index += 1
        self._pending.add(asyncio.create_task(self._run(item, index)))

    async def aclose(self) -> None:
        """Cancel the runs in flight, wait until they have unwound, and close the
        source. Calling it again does nothing."""
        if self._closed:
            return
        self._closed = True
        tasks = [*self._pending, *self._finished]
        if self._fetching is not None:
            tasks.append(self._fetching)
            self._fetching = None
        self._pending.clear()
        self._finished.clear()
        for task in tasks:
            task.cancel()
        if tasks:
            await asyncio.wait(tasks)
            for task in tasks:
                if not task.cancelled():
                    task.exception()  # retrieved: no "never retrieved" warning
        items, self._items = self._items, None
        if isinstance(items, AsyncIterator) and hasattr(items, "aclose"):
            await items.aclose()
        elif items is not None and hasattr(items, "close"):
            items.close()

    async def __aenter__(self) -> Self:
        """Return the batch itself."""
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the batch (see `aclose`)."""
        await self.aclose()

    def __del__(self) -> None:
        # Dropped after a `break`: cancel the runs now rather than leave them
        # working for nobody. Their unwinding happens on the loop.
        if getattr(self, "_closed", True):
            return
        for task in (*self._pending, *filter(None, [self._fetching])):
            try:
                task.cancel()
            except RuntimeError:  # its loop is already closed
                pass
        items = self._items
        if items is not None and not isinstance(items, AsyncIterator):
            close = getattr(items, "close", None)
            if close is not None:
                close()


def iterate_blocking(
    run: Callable[[Coroutine[Any, Any, Any]], Any],
    batch: GenerationBatch[Any, OutcomeT],
) -> Iterator[OutcomeT]:
    """Iterate over a batch from a thread that is not the batch's event loop.

    `run` hands a coroutine to that loop and blocks until it is done (the
    blocking client's loop thread). Each step of the iteration is one such run;
    closing the iterator (or leaving it after `break`, or an interrupt while it
    waits) closes the batch, which cancels the jobs in flight.
    """

    async def step() -> list[OutcomeT]:
        # The next outcome, or nothing at the end.
        try:
            return [await batch.__anext__()]
        except StopAsyncIteration:
            return []

    try:
        while next_outcome := run(step()):
            yield next_outcome[0]
    finally:
        try:
            run(batch.aclose())
        except VelquorAIError:
            pass  # the client closed first, and its batch with it


def generate_many(
    client: SupportsGenerate,
    jobs: Iterable[Job | Mapping[str, Any]] | AsyncIterable[Job | Mapping[str, Any]],
    *,
    concurrency: int = DEFAULT_CONCURRENCY,
    timeout: float = 300,
    interval: float = 2,
    on_progress: BatchProgressCallback | None = None,
    extra_headers: Mapping[str, str] | None = None,
    extra_query: Mapping[str, QueryValue] | None = None,
    extra_body: Mapping[str, Any] | None = None,
    request_timeout: float | httpx.Timeout | None = None,
) -> GenerationBatch[Job | Mapping[str, Any], JobOutcome]:
    """Run `client.generate` for each job; see `AsyncVelquorAI.generate_many`."""
    check_callback(on_progress)

    async def run(item: Job | Mapping[str, Any], index: int) -> JobOutcome:
        try:
            job = as_job(item)
        except ValidationError as exc:
            return JobOutcome(_item_key(item, index), None, exc)
        key: JobKey = job.key if job.key is not None else str(index)
        callback = None if on_progress is None else functools.partial(on_progress, key)
        try:
            result = await client.generate(
                job.question,
                list(job.images),
                list(job.videos),
                timeout=timeout,
                interval=interval,
                on_progress=callback,
                idempotency_key=job.idempotency_key,
                extra_headers=extra_headers,
                extra_query=extra_query,
                extra_body=extra_body,
                request_timeout=request_timeout,
            )
        except VelquorAIError as exc:
            return JobOutcome(key, None, exc, job)
        return JobOutcome(key, result, None, job)

    return GenerationBatch(jobs, concurrency, run)


async def _next_item(items: AsyncIterator[Any]) -> Any:
    try:
        return await anext(items)
    except StopAsyncIteration:
        return _END


def as_job(item: object) -> Job:
    """The `Job` an input item stands for: a `Job`, or a mapping of its fields.

    Raises:
        ValidationError: If the item is neither, or a field has the wrong type.
    """
    if isinstance(item, Job):
        job = item
    elif isinstance(item, Mapping):
        unknown = sorted(str(name) for name in item if name not in _JOB_FIELDS)
        if unknown:
            raise ValidationError(f"Unknown job field(s): {', '.join(unknown)}", field="jobs")
        if "question" not in item:
            raise ValidationError("A job needs a question", field="question")
        job = Job(
            item["question"],
            images=item.get("images") or (),
            videos=item.get("videos") or (),
            key=item.get("key"),
            idempotency_key=item.get("idempotency_key"),
        )
    else:
        raise ValidationError(
            f"A job must be a Job or a mapping, not {type(item).__name__}",
            field="jobs",
        )
    for name in ("images", "videos"):
        check_file_list(getattr(job, name), name, f"A job's {name}")
    return job


def _check_source(source: object) -> Any:
    if isinstance(source, (str, bytes, Mapping, Job)) or not isinstance(source, (Iterable, AsyncIterable)):
        # A lone job or text would otherwise be taken field by field.
        raise ValidationError(
            f"jobs must be an iterable of jobs, not {type(source).__name__}",
            field="jobs",
        )
    return source


def _item_key(item: object, index: int) -> JobKey:
    key = item.get("key") if isinstance(item, Mapping) else None
    return key if is_job_key(key) else str(index)
