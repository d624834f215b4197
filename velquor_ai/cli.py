"""Command line: `velquor generate ...`, `velquor result ...`, `velquor execute ...`,
`velquor batch ...` and `velquor serve`.

`velquor` is the console script; `python -m velquor_ai` is the same program.

Progress goes to stderr (bars and a live status with `rich`, from the `cli` extra,
when stderr is a terminal; plain lines otherwise), results to stdout, so the
output can be piped. Errors are one line on stderr; the exit status is 0 on
success, 2 for bad input or usage, 1 when the service, the storage or the
on-premise library fails, 3 when the generation is still running (`result`
without --wait, or a wait that ran out of time), and 130 when interrupted. An
error or an interrupt after the generation was created names it and the
command that picks it up again. When the reader of stdout goes away early
(`velquor ... | head -c1`), the program stops quietly with 0.
"""

from __future__ import annotations

import argparse
import asyncio
import inspect
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TextIO

import httpx

from . import _serve_command, compiled
from ._async import generation_failed, read_model
from ._logging import redact_text
from ._version import __version__
from .client import AsyncVelquorAI, ProgressEvent
from .exceptions import (
    APIConnectionError,
    APIError,
    GenerationFailedError,
    GenerationTimeoutError,
    NotFoundError,
    ValidationError,
    VelquorAIError,
)

__all__ = ["main"]

# The name the help shows: the console script's when started as one.
PROG = "velquor" if Path(sys.argv[0] if sys.argv else "").name == "velquor" else "python -m velquor_ai"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
# The generation is still running: ask again later.
EXIT_NOT_FINISHED = 3
EXIT_INTERRUPTED = 130

# Seconds a generation stays "processing" on the service that --local starts.
_LOCAL_PROCESSING_TIME = _serve_command.DEFAULT_PROCESSING_TIME

_DESCRIPTION = """\
Generate blueprints with the Velquor blueprint service, or execute them locally.

A blueprint answers a question about images and videos. `generate` sends the
question and the files to the service (or to a local service with --local, or to
the on-premise library with --on-premise) and prints the blueprint. `result`
fetches, or waits for, the blueprint of a generation already on the service, for
instance one whose wait was cut short. `execute` runs a blueprint over input
files with the on-premise library and prints where the results were written.
`batch` runs one generation per line of a JSON Lines file of jobs, resumably.
`serve` runs a local service to try the others against.
"""

_GENERATE_EXAMPLES = f"""\
  {PROG} generate "What is in these pictures?" --image cat.png --image dog.jpg
  {PROG} generate "Describe the clip" --video clip.mp4 --local --json
  {PROG} generate "What is shown?" --image cat.png --on-premise > blueprint.json
"""

_RESULT_EXAMPLES = f"""\
  {PROG} result gen_0123456789abcdef
  {PROG} result gen_0123456789abcdef --wait --timeout 600 --json
"""

_EXECUTE_EXAMPLES = f"""\
  {PROG} execute blueprint.json --input cat.png
  {PROG} execute - --input a.png --input b.png < blueprint.json
"""

_ENVIRONMENT = """\
settings can also come from the environment:
  VELQUOR_API_KEY, VELQUOR_BASE_URL, VELQUOR_TIMEOUT (seconds per request),
  VELQUOR_MAX_POLL_INTERVAL (seconds), VELQUOR_MAX_FILE_SIZE (bytes),
  VELQUOR_MAX_RETRIES (retries of a failed request, default 2);
  VELQUOR_LOG=info or debug writes the client's log records to stderr
"""

_EXIT_STATUS = """\
exit status: 0 success, 1 service, storage or library failure,
             2 bad input or usage, 3 the generation is still running
             (result without --wait, or the wait ran out of time),
             130 interrupted
"""

_EPILOG = f"examples:\n{_GENERATE_EXAMPLES}{_RESULT_EXAMPLES}{_EXECUTE_EXAMPLES}\n{_ENVIRONMENT}\n{_EXIT_STATUS}"
_GENERATE_EPILOG = f"examples:\n{_GENERATE_EXAMPLES}\n{_ENVIRONMENT}\n{_EXIT_STATUS}"
_RESULT_EPILOG = f"examples:\n{_RESULT_EXAMPLES}\n{_ENVIRONMENT}\n{_EXIT_STATUS}"
_EXECUTE_EPILOG = f"examples:\n{_EXECUTE_EXAMPLES}\n{_EXIT_STATUS}"


class _UsageError(Exception):
    """Bad input found by the command line itself (exit status 2)."""


def build_parser() -> argparse.ArgumentParser:
    """Build the argument parser of the command line.

    Returns:
        The parser, with the subcommands `generate`, `result` and `execute`.
    """
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    core = "compiled" if compiled else "pure Python"
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__} ({core} core modules)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    generate = commands.add_parser(
        "generate",
        help="generate a blueprint for a question about images and videos",
        description=(
            "Generate a blueprint that answers QUESTION about the given files and\n"
            "print it on stdout. Progress is shown on stderr."
        ),
        epilog=_GENERATE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    generate.add_argument("question", metavar="QUESTION", help="the question to answer")
    generate.add_argument(
        "--image",
        metavar="PATH",
        action="append",
        default=[],
        help="an image file; repeat the option for several",
    )
    generate.add_argument(
        "--video",
        metavar="PATH",
        action="append",
        default=[],
        help="a video file; repeat the option for several",
    )
    where = generate.add_mutually_exclusive_group()
    where.add_argument("--base-url", metavar="URL", help=_BASE_URL_HELP)
    where.add_argument(
        "--local",
        action="store_true",
        help="start a local service on 127.0.0.1 for this run and use it (needs the 'local' extra)",
    )
    where.add_argument(
        "--on-premise",
        action="store_true",
        help="generate with the on-premise library instead of a service",
    )
    _add_api_key_option(generate)
    _add_wait_options(
        generate,
        "longest wait for the result, in seconds (default: 300)",
        "first pause between status checks, in seconds, at least 1; it grows with each check (default: 2)",
    )
    _add_output_options(generate)
    generate.set_defaults(handler=_generate)

    result = commands.add_parser(
        "result",
        help="print the blueprint of a generation on the service, or wait for it",
        description=(
            "Print the blueprint of generation GENERATION_ID on stdout. Without\n"
            "--wait, a generation that has not finished is reported as such."
        ),
        epilog=_RESULT_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    result.add_argument("generation_id", metavar="GENERATION_ID", help="identifier of the generation")
    result.add_argument("--wait", action="store_true", help="wait until the generation has finished")
    _add_wait_options(result, "with --wait: longest wait, in seconds (default: 300)")
    _add_service_options(result)
    _add_output_options(result)
    result.set_defaults(handler=_result)

    execute = commands.add_parser(
        "execute",
        help="execute a blueprint on input files with the on-premise library",
        description=(
            "Execute BLUEPRINT on the input files with the on-premise library and\n"
            "print a summary and the report files it wrote."
        ),
        epilog=_EXECUTE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    execute.add_argument(
        "blueprint",
        metavar="BLUEPRINT",
        help="file holding the blueprint (as printed by generate), or - to read it from stdin",
    )
    execute.add_argument(
        "--input",
        metavar="PATH",
        action="append",
        default=[],
        required=True,
        help="an input file; repeat the option for several (at least one)",
    )
    execute.add_argument(
        "--workdir",
        metavar="DIR",
        help="folder for the reports (default: a new temporary folder)",
    )
    _add_output_options(execute)
    execute.set_defaults(handler=_execute)
    _add_batch_command(commands)
    _add_serve_command(commands)
    return parser


_BASE_URL_HELP = "address of the service (default: $VELQUOR_BASE_URL, else http://127.0.0.1:8000)"


def _add_api_key_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--api-key", metavar="KEY", help="API key (default: $VELQUOR_API_KEY)")


def _add_service_options(parser: argparse.ArgumentParser) -> None:
    """--base-url and --api-key, for the commands that talk to the service only."""
    parser.add_argument("--base-url", metavar="URL", help=_BASE_URL_HELP)
    _add_api_key_option(parser)


def _add_wait_options(parser: argparse.ArgumentParser, timeout_help: str, interval_help: str | None = None) -> None:
    """--timeout (300 s), and --interval (2 s) when the command polls from the start."""
    parser.add_argument("--timeout", metavar="S", type=float, default=300.0, help=timeout_help)
    if interval_help is not None:
        parser.add_argument("--interval", metavar="S", type=float, default=2.0, help=interval_help)


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the whole result as JSON on stdout",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress on stderr")


_BATCH_EXAMPLES = f"""\
  {PROG} batch jobs.jsonl --out results.jsonl --concurrency 32
  {PROG} batch jobs.jsonl --out results.jsonl --resume
  {PROG} batch jobs.jsonl --out results.jsonl --retry-failed
"""

_BATCH_DESCRIPTION = """\
Run one generation per line of JOBS, a JSON Lines file of objects with "key"
(unique string or integer), "question", and optional "images" and "videos"
(lists of paths, relative to the jobs file). One line per job is appended to
RESULTS as it ends: "key", "generation_id", "status" ("completed" with
"blueprint", "failed" or "incomplete" with "error": "type", "message",
"status"), after progress lines ("created", "started"). Stopped at any point,
the same command with --resume finishes the batch without creating any
generation twice.
"""

_BATCH_EXIT_STATUS = """\
exit status: 0 every job completed, 1 some job failed or is incomplete,
             2 bad input (malformed or duplicate lines are skipped, the other
             jobs still run) or usage, 130 interrupted
"""


def _add_batch_command(commands: Any) -> None:
    batch = commands.add_parser(
        "batch",
        help="run many generations from a JSON Lines file of jobs",
        description=_BATCH_DESCRIPTION,
        epilog=f"examples:\n{_BATCH_EXAMPLES}\n{_ENVIRONMENT}\n{_BATCH_EXIT_STATUS}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    batch.add_argument("jobs", metavar="JOBS", help="the jobs file (JSON Lines)")
    batch.add_argument(
        "--out",
        metavar="RESULTS",
        required=True,
        help="the results file (JSON Lines); must not exist unless --resume",
    )
    batch.add_argument(
        "--concurrency",
        metavar="N",
        type=int,
        default=16,
        help="most generations in flight at once (default: 16)",
    )
    batch.add_argument(
        "--resume",
        action="store_true",
        help="go on with the batch recorded in RESULTS: skip finished jobs, pick up started ones",
    )
    batch.add_argument(
        "--retry-failed",
        action="store_true",
        help="with --resume (implied): run the jobs that failed again, each with a new generation",
    )
    _add_service_options(batch)
    _add_wait_options(
        batch,
        "longest wait for each job's result, in seconds (default: 300)",
        "first pause between a job's status checks, in seconds, at least 1 (default: 2)",
    )
    batch.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress display; problems and the summary are still shown",
    )
    batch.set_defaults(handler=_batch)


async def _batch(args: argparse.Namespace) -> int:
    from ._batch_command import run_batch

    return await run_batch(args)


def _add_serve_command(commands: Any) -> None:
    serve = commands.add_parser(
        "serve",
        help="run a local service on 127.0.0.1 until Ctrl-C (needs the 'local' extra)",
        description=_serve_command.DESCRIPTION,
        epilog=_serve_command.epilog(f"{PROG} serve"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _serve_command.add_arguments(serve)
    serve.set_defaults(handler=_serve)


def _serve(args: argparse.Namespace) -> int:
    return _serve_command.run(args, _local_service_class("serve"), PROG)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line.

    Args:
        argv: Arguments without the program name; None reads `sys.argv`.

    Returns:
        The exit status.
    """
    try:
        try:
            return _main(argv)
        finally:
            # Written out here, inside the handler below, rather than at exit.
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader of our output went away (`... | head -c1`): nothing more
        # can be shown. Point stdout at devnull so that the interpreter's final
        # flush does not fail again, and stop quietly.
        _discard(sys.stdout)
        try:
            sys.stderr.flush()
        except OSError:
            _discard(sys.stderr)
        return EXIT_OK
    except OSError as exc:
        # Output that could not be written (a full disk under a redirected
        # stdout, say): one line, and nothing left for the final flush.
        _discard(sys.stdout)
        _error(str(exc))
        return EXIT_FAILURE


def _discard(stream: TextIO) -> None:
    try:
        descriptor = stream.fileno()
    except (OSError, ValueError):  # not a file: nothing gets flushed at exit
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, descriptor)
    finally:
        os.close(devnull)


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # exits with 2 on usage errors
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        outcome = args.handler(args)
        status: int = asyncio.run(outcome) if inspect.iscoroutine(outcome) else outcome
        return status
    except KeyboardInterrupt:
        # The generation, if one was created, goes on without us.
        _error(_resumable("interrupted", getattr(args, "generation_id", None), args))
        return EXIT_INTERRUPTED
    except _UsageError as exc:
        _error(str(exc))
        return EXIT_USAGE
    except ValidationError as exc:
        _error(str(exc))
        return EXIT_USAGE
    except APIConnectionError as exc:
        _error(_resumable(_connection_failure(exc), exc.generation_id, args, exc))
        return EXIT_FAILURE
    except APIError as exc:
        _error(_resumable(_service_failure(exc), exc.generation_id, args, exc))
        return EXIT_FAILURE
    except GenerationTimeoutError as exc:
        _error(_resumable(str(exc), exc.generation_id, args, exc))
        # Still running, unless the service stopped with this command.
        return EXIT_FAILURE if getattr(args, "local", False) else EXIT_NOT_FINISHED
    except VelquorAIError as exc:
        _error(_resumable(str(exc), exc.generation_id, args, exc))
        return EXIT_FAILURE


def _resumable(
    message: str,
    generation_id: str | None,
    args: argparse.Namespace,
    exc: VelquorAIError | None = None,
) -> str:
    """The message, naming the generation it concerns and how to pick it up."""
    if generation_id is None:
        return message
    if generation_id not in message:
        message = f"generation {generation_id}: {message}"
    if getattr(args, "local", False) or isinstance(exc, (GenerationFailedError, NotFoundError)):
        # Nothing to resume: the service ended with this command, the
        # generation failed for good, or the service does not know it.
        return message
    command = _result_command(generation_id, args)
    if not getattr(args, "started", True):
        # It was created but perhaps never started: waiting could be in vain.
        return f"{message}; see where it stands with: {command}"
    return f"{message}; resume with: {command} --wait"


def _result_command(generation_id: str, args: argparse.Namespace) -> str:
    """The command that shows the generation, on the service this one used."""
    command = f"{PROG} result {generation_id}"
    if getattr(args, "base_url", None):
        command += f" --base-url {args.base_url}"
    return command


async def _generate(args: argparse.Namespace) -> int:
    display = _display(args.quiet)
    try:
        if args.on_premise:
            client = AsyncVelquorAI.on_premise()
            display.note("Generating with the on-premise library...")
            async with client:
                result = await client.generate(
                    args.question,
                    images=args.image,
                    videos=args.video,
                    timeout=args.timeout,
                    interval=args.interval,
                )
        elif args.local:
            # The client and the service it starts share one key, made up for
            # the run when none is given.
            args.api_key = _serve_command.local_api_key(args.api_key)
            service = _local_service_class("--local")(api_key=args.api_key, processing_time=_LOCAL_PROCESSING_TIME)
            async with service:
                display.note(f"Local service listening at {service.base_url}")
                result = await _generate_remote(args, service.base_url, display)
        else:
            result = await _generate_remote(args, args.base_url, display)
    finally:
        display.close()
    return _print_result(result, args.json)


async def _generate_remote(args: argparse.Namespace, base_url: str | None, display: _Display) -> Any:
    # Whether the service accepted the start, for the advice after an error.
    args.started = False

    def progress(event: ProgressEvent) -> None:
        if event.kind == "created":
            args.generation_id = event.generation_id
        elif event.kind == "started":
            args.started = True
        display(event)

    async with AsyncVelquorAI(api_key=args.api_key, base_url=base_url) as client:
        return await client.generate(
            args.question,
            images=args.image,
            videos=args.video,
            timeout=args.timeout,
            interval=args.interval,
            on_progress=progress,
        )


async def _result(args: argparse.Namespace) -> int:
    display = _display(args.quiet or not args.wait)
    try:
        async with AsyncVelquorAI(api_key=args.api_key, base_url=args.base_url) as client:
            if args.wait:
                display.note(f"Waiting for generation {args.generation_id}...")
                result = await client.wait_for_result(args.generation_id, timeout=args.timeout, on_progress=display)
            else:
                result = await _current_result(client, args.generation_id)
    finally:
        display.close()
    if result.status != "completed":
        if args.json:
            _print_json(result.model_dump(mode="json"))
        _error(
            f"Generation {result.generation_id} has not finished (status: "
            f"{result.status}); wait for it with: "
            f"{_result_command(result.generation_id, args)} --wait"
        )
        # A generation never started is not running: asking later will not help.
        return EXIT_FAILURE if result.status == "created" else EXIT_NOT_FINISHED
    return _print_result(result, args.json)


async def _current_result(client: AsyncVelquorAI, generation_id: str) -> Any:
    """The generation's record as it stands; a failed one raises."""
    result = await read_model(client.generations.get_result(generation_id))
    if result.status == "failed":
        raise generation_failed(generation_id, result.error)
    return result


def _print_result(result: Any, as_json: bool) -> int:
    if as_json:
        _print_json(result.model_dump(mode="json"))
        return EXIT_OK
    if result.blueprint is None:
        _error(f"Generation {result.generation_id} completed without a blueprint")
        return EXIT_FAILURE
    print(_pretty(result.blueprint))
    return EXIT_OK


async def _execute(args: argparse.Namespace) -> int:
    blueprint = _read_blueprint(args.blueprint)
    display = _display(args.quiet)
    try:
        display.note(f"Executing the blueprint on {len(args.input)} input file(s)...")
        async with AsyncVelquorAI.on_premise(workdir=args.workdir) as client:
            result = await client.execute(blueprint, args.input)
    finally:
        display.close()
    if args.json:
        _print_json(result.model_dump(mode="json"))
        return EXIT_OK
    answer = (result.results or {}).get("answer")
    if answer:
        print(answer)
    print("Reports:")
    for path in result.output_files:
        print(f"  {path}")
    return EXIT_OK


def _local_service_class(needs: str) -> Any:
    try:
        from .testing import LocalService
    except ImportError as exc:
        raise _UsageError(f"{needs} needs the 'local' extra: pip install 'velquor-ai[local]'") from exc
    return LocalService


def _connection_failure(exc: APIConnectionError) -> str:
    """Say whether the service could not be reached or stopped answering."""
    cause = _transport_error(exc)
    origin = _request_origin(cause) if cause is not None else None
    if origin is None:
        return str(exc)
    if isinstance(cause, (httpx.ConnectError, httpx.ConnectTimeout)):
        return f"cannot reach {origin}: {exc}"
    if isinstance(cause, httpx.TimeoutException):
        return f"no answer from {origin} in time: {exc}"
    # A connection was made, then broke: reset, closed without an answer, ...
    return f"connection to {origin} failed: {exc}"


def _service_failure(exc: APIError) -> str:
    """The error's message with the HTTP status of the answer behind it."""
    message = str(exc)
    status = exc.status_code
    if status is None or f"HTTP {status}" in message:
        return message
    return f"{message} (HTTP {status})"


def _transport_error(exc: BaseException) -> httpx.RequestError | None:
    """The httpx error behind `exc`, following its chain of causes."""
    seen: set[int] = set()
    current: BaseException | None = exc
    while current is not None and id(current) not in seen:
        if isinstance(current, httpx.RequestError):
            return current
        seen.add(id(current))
        current = current.__cause__ or current.__context__
    return None


def _request_origin(error: httpx.RequestError) -> str | None:
    """Scheme, host and port of the request that failed, if known."""
    try:
        url = error.request.url
    except RuntimeError:  # httpx raises it when the error has no request
        return None
    return f"{url.scheme}://{url.netloc.decode('ascii', 'replace')}"


def _read_blueprint(argument: str) -> str:
    if argument == "-":
        try:
            # Read as a file is, whatever encoding the locale gives stdin.
            return sys.stdin.buffer.read().decode("utf-8-sig")
        except UnicodeDecodeError:
            raise _UsageError("Blueprint on stdin is not UTF-8 text") from None
    path = Path(argument)
    try:
        return path.read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise _UsageError(f"Blueprint file not found: {argument}") from None
    except UnicodeDecodeError:
        raise _UsageError(f"Blueprint file is not UTF-8 text: {argument}") from None
    except OSError as exc:
        raise _UsageError(f"Cannot read blueprint file {argument}: {exc.strerror or exc}") from None


def _pretty(text: str) -> str:
    try:
        return json.dumps(json.loads(text), indent=2, ensure_ascii=False)
    except ValueError:
        return text


def _print_json(value: Any) -> None:
    print(json.dumps(value, indent=2, ensure_ascii=False))


def _error(message: str) -> None:
    # One line, whatever the message holds (validation details can span several),
    # and no signature of a presigned URL.
    line = redact_text(" ".join(message.split())) or "unknown error"
    print(f"velquor_ai: error: {line}", file=sys.stderr)


# ------------------------------------------------------------------ progress


class _Display:
    """Progress shown as plain lines on stderr."""

    def __init__(self, stream: TextIO | None) -> None:
        self.stream = stream
        self._last_status: str | None = None

    def note(self, text: str) -> None:
        self._line(text)

    def __call__(self, event: ProgressEvent) -> None:
        if event.kind == "created":
            self._line(f"Generation {event.generation_id} created")
        elif event.kind == "upload":
            if event.done == 0:
                self._line(f"Uploading {event.total} file(s)...")
            else:
                self._line(f"Uploaded {event.filename} ({event.done}/{event.total}, {_size(event.size)})")
        elif event.kind == "started":
            self._line("Generation started; waiting for the result...")
        elif event.kind == "status" and event.status != self._last_status:
            self._last_status = event.status
            self._line(f"Status: {event.status}")

    def close(self) -> None:
        pass

    def _line(self, text: str) -> None:
        if self.stream is not None:
            print(text, file=self.stream, flush=True)


class _RichDisplay(_Display):
    """Progress bar for the uploads and a live status line, drawn with rich."""

    def __init__(self, stream: TextIO) -> None:
        from rich.console import Console

        super().__init__(stream)
        self._console = Console(file=stream)
        self._progress: Any = None
        self._task: Any = None
        self._status: Any = None
        self._status_task: Any = None

    def note(self, text: str) -> None:
        self._console.print(text, highlight=False)

    def __call__(self, event: ProgressEvent) -> None:
        if event.kind == "created":
            self._console.print(
                f"Generation [bold]{event.generation_id}[/bold] created",
                highlight=False,
            )
        elif event.kind in ("upload", "uploading"):
            self._upload(event)
        elif event.kind == "started":
            self._stop_progress()
            self._start_status(event.status)
        elif event.kind == "status":
            if self._status is None and event.status not in ("completed", "failed"):
                self._start_status(event.status)  # a wait without a start
            if self._status is not None:
                self._status.update(self._status_task, description=_waiting(event.status))
            if event.status in ("completed", "failed"):
                self._stop_status()
                self._console.print(f"Status: {event.status}", highlight=False)

    def _start_status(self, status: str | None) -> None:
        from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

        # A spinner with a running clock, so a long wait visibly goes on.
        self._status = Progress(
            SpinnerColumn(),
            TextColumn("{task.description}"),
            TimeElapsedColumn(),
            console=self._console,
            transient=True,
        )
        self._status_task = self._status.add_task(_waiting(status), total=None)
        self._status.start()

    def _upload(self, event: ProgressEvent) -> None:
        from rich.progress import (
            BarColumn,
            DownloadColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
            TransferSpeedColumn,
        )

        if self._progress is None:
            # Bytes, not files: one large video moves the bar as it goes out.
            self._progress = Progress(
                TextColumn("{task.description}"),
                BarColumn(),
                DownloadColumn(binary_units=True),
                TransferSpeedColumn(),
                TimeElapsedColumn(),
                console=self._console,
            )
            self._task = self._progress.add_task(f"Uploading {event.total} file(s)", total=event.bytes_total)
            self._progress.start()
        if event.kind == "uploading":
            description = f"Uploading {event.filename} ({event.done}/{event.total})"
        elif event.done:
            description = f"Uploaded {event.filename} ({event.done}/{event.total})"
        else:
            return
        self._progress.update(self._task, completed=event.bytes_done, description=description)

    def _stop_progress(self) -> None:
        if self._progress is not None:
            self._progress.stop()
            self._progress = None

    def _stop_status(self) -> None:
        if self._status is not None:
            self._status.stop()
            self._status = None

    def close(self) -> None:
        self._stop_progress()
        self._stop_status()


def _display(quiet: bool) -> _Display:
    if quiet:
        return _Display(None)
    stream = sys.stderr
    if stream.isatty():
        try:
            return _RichDisplay(stream)
        except ImportError:
            pass
    return _Display(stream)


def _waiting(status: str | None) -> str:
    return f"Waiting for the result: {status or 'unknown'}"


def _size(size: int | None) -> str:
    if size is None:
        return "unknown size"
    if size < 1024:
        return f"{size} bytes"
    value = size / 1024
    for unit in ("KiB", "MiB"):
        if value < 1024:
            return f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"
