"""The `batch` command: jobs from a JSON Lines file, results to another, resumable.

The results file is a journal, appended to and written through (one `write`
per line, no buffering) as things happen, so that whatever stops the command
(Ctrl-C, a kill, a crash, a lost machine) leaves every complete line valid:

    {"batch": "<id>", "jobs": "<jobs file>", "version": 1}        first line
    {"key": K, "generation_id": G, "status": "created"}           progress
    {"key": K, "generation_id": G, "status": "started"}           progress
    {"key": K, "generation_id": G, "status": "completed", "blueprint": "..."}
    {"key": K, "generation_id": G|null, "status": "failed",
     "error": {"type", "message", "status"}}
    {"key": K, "generation_id": G|null, "status": "incomplete", "error": {...}}

"completed" and "failed" end a job. "incomplete" says this run could not finish
it (the service was unreachable or overloaded, the wait timed out, ...), and a
run with `--resume` tries again. Resuming reads the journal back: finished keys
are skipped, a started generation is awaited by its identifier, and any other
job is run again with the same idempotency key, which the service answers with
the generation it already created, if any. The key is derived from the batch's
identifier (first line) and the job's key: the same job in the same results file
always has the same key, a new results file starts afresh. `--retry-failed` runs
failed jobs again, with keys that also count the job's earlier failures.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import secrets
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO, TextIO

from ._checks import check_concurrency
from .batch import GenerationBatch, is_job_key
from .client import AsyncVelquorAI, ProgressEvent
from .exceptions import (
    APIError,
    GenerationFailedError,
    UploadError,
    ValidationError,
    VelquorAIError,
)

__all__ = ["JOURNAL_VERSION", "ResultsFile", "ResultsFileError", "run_batch"]

JOURNAL_VERSION = 1
JOB_FIELDS = ("key", "question", "images", "videos")

# Answers that are the service's verdict on the job itself: running it again
# would get the same answer, so the job ends as "failed". (409 is left out: it
# also means "a request with this idempotency key is still being answered".)
_FINAL_STATUSES = frozenset({400, 404, 422})

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_BAD_INPUT = 2

Warn = Callable[[str], None]


# ------------------------------------------------------------------ journal


class ResultsFileError(ValidationError):
    """The results file could not be written (a full disk, a file size limit,
    an I/O error): the batch stops, and `--resume` goes on from what the file
    holds.

    Attributes:
        path: The results file.
        reason: What writing to it met, in words ("No space left on device").
    """

    def __init__(self, path: Path, reason: str) -> None:
        """Create the error.

        Args:
            path: The results file.
            reason: What writing to it met, in words.
        """
        super().__init__(
            f"Cannot write results file {path}: {reason}; the batch stopped, and running "
            "the same command with --resume goes on from what the file holds",
            field="out",
        )
        self.path = path
        self.reason = reason

    @classmethod
    def of(cls, path: Path, error: OSError) -> ResultsFileError:
        """The error for `error`, raised while writing to `path`."""
        return cls(path, error.strerror or str(error))

    def __reduce__(self) -> tuple[Any, ...]:
        """Rebuild from the path and the reason, then the other attributes."""
        return (type(self), (self.path, self.reason), self.__dict__)


@dataclass(slots=True)
class _Unfinished:
    """What the journal knows of a job that has not ended."""

    generation_id: str | None = None
    started: bool = False


@dataclass(slots=True)
class _Journal:
    """What a results file read back says of its jobs."""

    finished: dict[str, str] = field(default_factory=dict)
    unfinished: dict[str, _Unfinished] = field(default_factory=dict)
    failures: Counter[str] = field(default_factory=Counter)


class ResultsFile:
    """The results journal of one batch: read back on resume, appended to as
    jobs progress.

    Attributes:
        path: Where the file is.
        batch_id: Identifier of the batch, from the first line.
        finished: How the jobs that ended ended ("completed" or "failed"), by
            identity (the job's key as JSON).
        unfinished: What is known of the jobs that began but did not end.
        failures: How many times each job failed, for the ones that did.
    """

    def __init__(
        self,
        path: Path,
        handle: BinaryIO,
        batch_id: str,
        journal: _Journal,
    ) -> None:
        self.path = path
        self.batch_id = batch_id
        self.finished = journal.finished
        self.unfinished = journal.unfinished
        self.failures = journal.failures
        self._handle: BinaryIO | None = handle

    @classmethod
    def open(cls, path: Path, jobs_path: Path, *, resume: bool, warn: Warn) -> ResultsFile:
        """Open the journal: a new one, or (with `resume`) an existing one read
        back, with a last line torn by a kill cut off.

        Raises:
            ValidationError: If the file exists without `resume`, or is not a
                results file of this command.
        """
        try:
            if not resume and path.exists() and path.stat().st_size:
                # Refused before anything is opened for writing: left as it is.
                raise ValidationError(
                    f"Results file {path} already exists; pass --resume to go on "
                    "with that batch, or choose another --out",
                    field="out",
                )
            # Unbuffered: each line goes to the file in one write, at once.
            handle: BinaryIO = open(path, "a+b", buffering=0)  # noqa: SIM115
        except OSError as exc:
            raise ValidationError(
                f"Cannot open results file {path}: {exc.strerror or exc}",
                field="out",
            ) from exc
        try:
            header, journal = _read_journal(handle, path, warn)
            if header is None:
                batch_id = secrets.token_hex(16)
                _write_line(
                    handle,
                    {
                        "batch": batch_id,
                        "jobs": str(jobs_path),
                        "version": JOURNAL_VERSION,
                    },
                )
            else:
                batch_id = header
            os.fsync(handle.fileno())  # the header or the repair, before any job
        except OSError as exc:
            handle.close()
            raise ResultsFileError.of(path, exc) from exc
        except BaseException:
            handle.close()
            raise
        return cls(path, handle, batch_id, journal)

    def idempotency_key(self, identity: str, attempt: int = 0) -> str:
        """The idempotency key of a job's create request in this batch."""
        return self.derive_idempotency_key(self.batch_id, identity, attempt)

    @staticmethod
    def derive_idempotency_key(batch_id: str, identity: str, attempt: int = 0) -> str:
        """The idempotency key of the job `identity` (its key as JSON) in the
        batch `batch_id`; `attempt` counts the runs of a job that failed before
        (`--retry-failed`), each of which gets a generation of its own."""
        text = f"{batch_id}\n{identity}" + (f"\n{attempt}" if attempt else "")
        digest = hashlib.sha256(text.encode()).hexdigest()
        return f"batch-{digest[:48]}"

    def write(self, record: dict[str, Any]) -> None:
        """Append one line.

        Raises:
            ResultsFileError: If it cannot be written (a line cut short by a
                full disk is removed when the file is read back).
        """
        if self._handle is None:
            raise ValueError("the results file is closed")
        try:
            _write_line(self._handle, record)
        except OSError as exc:
            raise ResultsFileError.of(self.path, exc) from exc

    def close(self) -> None:
        """Write the file through to the disk and close it.

        Raises:
            ResultsFileError: If it cannot be written through.
        """
        handle, self._handle = self._handle, None
        if handle is not None:
            try:
                os.fsync(handle.fileno())
            except OSError as exc:
                raise ResultsFileError.of(self.path, exc) from exc
            finally:
                handle.close()


def _write_line(handle: BinaryIO, record: dict[str, Any]) -> None:
    # A lone surrogate (from a file name that is not UTF-8, in an error
    # message) is written as its JSON escape, which reads back as it was.
    data = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8", "backslashreplace")
    view = memoryview(data)
    while view:
        written = handle.write(view)
        view = view[written or 0 :]


def _read_journal(handle: BinaryIO, path: Path, warn: Warn) -> tuple[str | None, _Journal]:
    """Read a journal back through `handle` (opened for appending) and repair a
    torn last line. Returns the batch identifier (None for an empty file) and
    what the lines say of the jobs."""
    header: str | None = None
    journal = _Journal()
    end = 0
    with open(path, "rb") as reader:
        for number, raw in enumerate(reader, start=1):
            record = _parse_record(raw)
            if not raw.endswith(b"\n"):
                # The last line, cut short by a kill: kept if it is whole anyway.
                if record is None:
                    if number == 1 and not raw.startswith(b'{"batch"'):
                        break  # not torn from a header: refused below
                    warn(f"{path}:{number}: removed an incomplete last line")
                    handle.truncate(end)
                    break
                handle.write(b"\n")
            end += len(raw)
            if number == 1:
                batch = record.get("batch") if record is not None else None
                if not isinstance(batch, str) or not batch:
                    raise ValidationError(
                        f"{path} is not a results file of the batch command (its first line names no batch)",
                        field="out",
                    )
                header = batch
                continue
            if record is None or "key" not in record:
                warn(f"{path}:{number}: unreadable line ignored")
                continue
            _apply(record, journal)
    if header is None and end == 0 and os.fstat(handle.fileno()).st_size:
        raise ValidationError(f"{path} is not a results file of the batch command", field="out")
    return header, journal


def _parse_record(raw: bytes) -> dict[str, Any] | None:
    try:
        record = json.loads(raw)
    except (ValueError, RecursionError):
        return None
    return record if isinstance(record, dict) else None


def _apply(record: dict[str, Any], journal: _Journal) -> None:
    identity = _identity(record["key"])
    status = record.get("status")
    generation_id = record.get("generation_id")
    if not isinstance(generation_id, str):
        generation_id = None
    if status in ("completed", "failed"):
        journal.finished[identity] = status
        journal.unfinished.pop(identity, None)
        if status == "failed":
            journal.failures[identity] += 1
        return
    # Anything else says the job is under way again (a retry of a failed one).
    journal.finished.pop(identity, None)
    state = journal.unfinished.setdefault(identity, _Unfinished())
    if generation_id is not None:
        state.generation_id = generation_id
    if status == "started":
        state.started = True
    elif status == "created" and generation_id is not None:
        state.started = False


def _identity(key: Any) -> str:
    return json.dumps(key, ensure_ascii=False, sort_keys=True)


# --------------------------------------------------------------------- jobs


class _BadLine(Exception):
    """A line of the jobs file that is not a job."""


@dataclass(slots=True)
class _Work:
    """One job to run: from its line, and from the journal when resumed."""

    number: int
    key: str | int
    identity: str
    question: str
    images: list[Path]
    videos: list[Path]
    generation_id: str | None = None
    started: bool = False
    attempt: int = 0


@dataclass(slots=True)
class _Tally:
    total: int = 0
    completed: int = 0
    failed: int = 0
    incomplete: int = 0
    skipped: int = 0
    bad: int = 0
    started_at: float = field(default_factory=time.monotonic)

    @property
    def ended(self) -> int:
        return self.completed + self.failed + self.incomplete

    @property
    def to_run(self) -> int:
        return max(self.total - self.skipped - self.bad, 0)


def _parse_job(raw: bytes, base: Path) -> tuple[str | int, str, list[Path], list[Path]]:
    try:
        data = json.loads(raw)
    except UnicodeDecodeError:
        raise _BadLine("not UTF-8 text") from None
    except json.JSONDecodeError as exc:
        raise _BadLine(f"not valid JSON ({exc.msg}, column {exc.colno})") from None
    except ValueError as exc:  # an integer of more digits than Python converts
        raise _BadLine(f"not a job ({exc})") from None
    except RecursionError:
        raise _BadLine("not a job (nested too deeply)") from None
    if not isinstance(data, dict):
        raise _BadLine(f"a job must be a JSON object, not {type(data).__name__}")
    unknown = sorted(name for name in data if name not in JOB_FIELDS)
    if unknown:
        raise _BadLine(f"unknown field(s) {', '.join(map(repr, unknown))}")
    key = data.get("key")
    if not is_job_key(key):
        raise _BadLine("key must be a non-empty string or an integer")
    question = data.get("question")
    if not isinstance(question, str) or not question.strip():
        raise _BadLine("question must be a non-blank string")
    for name, text in (("key", key), ("question", question)):
        if isinstance(text, str) and not _encodable(text):
            raise _BadLine(f"{name} holds a lone surrogate (a \\ud800-\\udfff escape), which is not text")
    files = []
    for name in ("images", "videos"):
        value = data.get(name)
        if value is None:
            value = []
        if not isinstance(value, list) or not all(isinstance(item, str) and item for item in value):
            raise _BadLine(f"{name} must be a list of file paths")
        # Relative to the jobs file, wherever the command is run from.
        files.append([base / item for item in value])
    return key, question, files[0], files[1]


def _encodable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _read_jobs(
    path: Path,
    handle: BinaryIO,
    journal: ResultsFile,
    tally: _Tally,
    warn: Warn,
    on_skip: Callable[[], None],
    *,
    retry_failed: bool = False,
) -> Iterator[_Work]:
    """The jobs still to run, read lazily; bad lines and duplicates are reported
    and skipped, finished jobs skipped (failed ones too, unless `retry_failed`)."""
    base = path.parent
    seen: set[str] = set()
    for number, raw in enumerate(handle, start=1):
        if not raw.strip():
            continue
        try:
            key, question, images, videos = _parse_job(raw, base)
        except _BadLine as exc:
            tally.bad += 1
            warn(f"{path}:{number}: {exc}; line skipped")
            on_skip()
            continue
        identity = _identity(key)
        if identity in seen:
            tally.bad += 1
            warn(f"{path}:{number}: duplicate key {identity}; line skipped")
            on_skip()
            continue
        seen.add(identity)
        ended = journal.finished.get(identity)
        if ended is not None and not (retry_failed and ended == "failed"):
            tally.skipped += 1
            on_skip()
            continue
        work = _Work(number, key, identity, question, images, videos)
        work.attempt = journal.failures[identity]
        known = journal.unfinished.get(identity)
        if known is not None:
            work.generation_id = known.generation_id
            work.started = known.started and known.generation_id is not None
        yield work


def _count_jobs(handle: BinaryIO) -> int:
    count = sum(1 for raw in handle if raw.strip())
    handle.seek(0)
    return count


# ------------------------------------------------------------------ running


@dataclass(frozen=True, slots=True)
class _Ended:
    work: _Work
    status: str
    error: Exception | None


def _is_final(exc: VelquorAIError) -> bool:
    """Whether an error settles the job, rather than leaving it for a resume."""
    if isinstance(exc, (GenerationFailedError, ValidationError)):
        return True
    return isinstance(exc, APIError) and not isinstance(exc, UploadError) and exc.status_code in _FINAL_STATUSES


def _error_record(exc: Exception) -> dict[str, Any]:
    record: dict[str, Any] = {
        "type": type(exc).__name__,
        "message": str(exc),
        "status": getattr(exc, "status_code", None),
    }
    request_id = getattr(exc, "request_id", None)
    if request_id is not None:
        record["request_id"] = request_id
    return record


def _make_runner(
    client: AsyncVelquorAI,
    journal: ResultsFile,
    timeout: float,
    interval: float,
) -> Callable[[_Work, int], Any]:
    async def run(work: _Work, index: int) -> _Ended:
        generation_id = work.generation_id

        def on_progress(event: ProgressEvent) -> None:
            nonlocal generation_id
            if event.kind == "created":
                if event.generation_id != generation_id:
                    generation_id = event.generation_id
                    journal.write(
                        {
                            "key": work.key,
                            "generation_id": generation_id,
                            "status": "created",
                        }
                    )
            elif event.kind == "started":
                journal.write(
                    {
                        "key": work.key,
                        "generation_id": event.generation_id,
                        "status": "started",
                    }
                )

        try:
            if work.started and work.generation_id is not None:
                result = await client.wait_for_result(
                    work.generation_id,
                    timeout=timeout,
                    interval=interval,
                    on_progress=on_progress,
                )
            else:
                result = await client.generate(
                    work.question,
                    work.images,
                    work.videos,
                    timeout=timeout,
                    interval=interval,
                    on_progress=on_progress,
                    idempotency_key=journal.idempotency_key(work.identity, work.attempt),
                )
        except ResultsFileError:
            raise  # nothing more can be written down: the whole batch stops
        except Exception as exc:  # noqa: BLE001 - one job's failure, whatever it is, is that job's
            status = "failed" if not isinstance(exc, VelquorAIError) or _is_final(exc) else "incomplete"
            journal.write(
                {
                    "key": work.key,
                    "generation_id": getattr(exc, "generation_id", None) or generation_id,
                    "status": status,
                    "error": _error_record(exc),
                }
            )
            return _Ended(work, status, exc)
        journal.write(
            {
                "key": work.key,
                "generation_id": result.generation_id,
                "status": "completed",
                "blueprint": result.blueprint,
            }
        )
        return _Ended(work, "completed", None)

    return run


async def run_batch(args: argparse.Namespace) -> int:
    """Run the `batch` command with parsed arguments; return the exit status.

    Raises:
        ValidationError: For bad arguments, an unreadable jobs file or a results
            file that cannot be used (`ResultsFileError` when it cannot be
            written, a full disk say).
    """
    concurrency = check_concurrency(args.concurrency)
    jobs_path = Path(args.jobs)
    out_path = Path(args.out)
    display = _progress_display(args.quiet)
    try:
        jobs_handle: BinaryIO = open(jobs_path, "rb")  # noqa: SIM115
    except OSError as exc:
        raise ValidationError(f"Cannot read jobs file {jobs_path}: {exc.strerror or exc}", field="jobs") from exc
    tally = _Tally()
    interrupted = True
    try:
        journal = ResultsFile.open(
            out_path,
            jobs_path.resolve(),
            resume=args.resume or args.retry_failed,
            warn=display.warn,
        )
        try:
            tally.total = _count_jobs(jobs_handle)
            display.start(tally)
            source = _read_jobs(
                jobs_path,
                jobs_handle,
                journal,
                tally,
                display.warn,
                lambda: display.update(tally),
                retry_failed=args.retry_failed,
            )
            async with AsyncVelquorAI(api_key=args.api_key, base_url=args.base_url) as client:
                runner = _make_runner(client, journal, args.timeout, args.interval)
                async with GenerationBatch(source, concurrency, runner) as batch:
                    async for ended in batch:
                        _count(tally, ended)
                        if ended.error is not None:
                            display.warn(
                                f"job {_identity(ended.work.key)} (line "
                                f"{ended.work.number}) {ended.status}: "
                                f"{type(ended.error).__name__}: {ended.error}"
                            )
                        display.update(tally)
            interrupted = False
        except BaseException:
            # What stopped the batch is what to report, not a failure to
            # write the file through as well.
            with contextlib.suppress(ResultsFileError):
                journal.close()
            raise
        journal.close()
    finally:
        jobs_handle.close()
        display.close()
        if display.started:
            display.summary(tally, out_path, interrupted)
    if tally.bad:
        return EXIT_BAD_INPUT
    if tally.failed or tally.incomplete:
        return EXIT_FAILED
    return EXIT_OK


def _count(tally: _Tally, ended: _Ended) -> None:
    if ended.status == "completed":
        tally.completed += 1
    elif ended.status == "failed":
        tally.failed += 1
    else:
        tally.incomplete += 1


# ----------------------------------------------------------------- progress


class _PlainProgress:
    """Progress as a line on stderr now and then, for logs and pipes."""

    _EVERY_SECONDS = 10.0

    def __init__(self, stream: TextIO, *, show_progress: bool = True) -> None:
        self.stream = stream
        self.show_progress = show_progress
        self.started = False
        self._last_line = 0.0
        self._last_ended = 0

    def start(self, tally: _Tally) -> None:
        self.started = True
        self._last_line = time.monotonic()

    def warn(self, text: str) -> None:
        self._print(text)

    def update(self, tally: _Tally) -> None:
        if not self.show_progress:
            return
        now = time.monotonic()
        step = max(tally.to_run // 10, 1)
        if tally.ended - self._last_ended >= step or now - self._last_line >= self._EVERY_SECONDS:
            self._last_line = now
            self._last_ended = tally.ended
            self._print(_status_line(tally))

    def close(self) -> None:
        pass

    def summary(self, tally: _Tally, out: Path, interrupted: bool) -> None:
        elapsed = time.monotonic() - tally.started_at
        rate = tally.ended / elapsed if elapsed > 0 else 0.0
        head = "Batch interrupted" if interrupted else "Batch finished"
        parts = [
            f"{tally.completed} completed",
            f"{tally.failed} failed",
            f"{tally.incomplete} incomplete",
        ]
        if tally.skipped:
            parts.append(f"{tally.skipped} already finished")
        if tally.bad:
            parts.append(f"{tally.bad} bad input line(s)")
        self._print(f"{head} in {elapsed:.1f}s ({rate:.1f} jobs/s): {', '.join(parts)}. Results: {out}")
        if interrupted or tally.incomplete:
            self._print("Run the same command with --resume to finish the rest.")

    def _print(self, text: str) -> None:
        print(text, file=self.stream, flush=True)


class _RichProgress(_PlainProgress):
    """A progress bar with counts, rate and time left, drawn with rich."""

    def __init__(self, stream: TextIO) -> None:
        from rich.console import Console

        super().__init__(stream)
        self._console = Console(file=stream)
        self._progress: Any = None
        self._task: Any = None

    def start(self, tally: _Tally) -> None:
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
            TimeRemainingColumn,
        )

        self.started = True
        self._progress = Progress(
            TextColumn("Batch"),
            BarColumn(),
            MofNCompleteColumn(),
            TextColumn("{task.fields[counts]}"),
            TextColumn("{task.fields[rate]}"),
            TimeElapsedColumn(),
            TextColumn("ETA"),
            TimeRemainingColumn(),
            console=self._console,
        )
        self._task = self._progress.add_task("Batch", total=tally.to_run, counts="", rate="")
        self._progress.start()

    def update(self, tally: _Tally) -> None:
        if self._progress is None:
            return
        task = self._progress.tasks[0]
        speed = task.speed
        self._progress.update(
            self._task,
            total=tally.to_run,
            completed=tally.ended,
            counts=_counts(tally),
            rate=f"{speed:.1f} jobs/s" if speed else "",
        )

    def close(self) -> None:
        if self._progress is not None:
            self._progress.stop()
            self._progress = None

    def _print(self, text: str) -> None:
        self._console.print(text, highlight=False, markup=False)


def _counts(tally: _Tally) -> str:
    text = f"{tally.completed} completed, {tally.failed} failed"
    if tally.incomplete:
        text += f", {tally.incomplete} incomplete"
    return text


def _status_line(tally: _Tally) -> str:
    elapsed = time.monotonic() - tally.started_at
    rate = tally.ended / elapsed if elapsed > 0 else 0.0
    left = tally.to_run - tally.ended
    eta = f"{left / rate:.0f}s" if rate > 0 else "unknown"
    return f"[{tally.ended}/{tally.to_run}] {_counts(tally)}; {rate:.1f} jobs/s, ETA {eta}"


def _progress_display(quiet: bool) -> _PlainProgress:
    stream = sys.stderr
    if quiet:
        # Reports of bad lines and failed jobs, and the summary, still show.
        return _PlainProgress(stream, show_progress=False)
    if stream.isatty():
        try:
            return _RichProgress(stream)
        except ImportError:
            pass
    return _PlainProgress(stream)
