"""`velquor serve` and `python -m velquor_ai.testing`: a local service in the
foreground until Ctrl-C.

The service class is handed in by the caller (the command line, or the
testing module run as a program), so that this module imports neither.

    parser = argparse.ArgumentParser()
    add_arguments(parser)
    status = run(parser.parse_args(), LocalService, "velquor")
"""

from __future__ import annotations

import argparse
import os
import secrets
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any

from .config import ENV_API_KEY
from .exceptions import ValidationError

__all__ = ["DEFAULT_PORT", "DESCRIPTION", "add_arguments", "epilog", "local_api_key", "main", "run"]

# Where clients look when given no address.
DEFAULT_PORT = 8000
# Seconds a started generation stays "processing".
DEFAULT_PROCESSING_TIME = 1.0

DESCRIPTION = """\
Run a local service (generations, presigned uploads) on 127.0.0.1 in the
foreground until Ctrl-C, to try the other commands and your code against. It
prints the settings that point a client at it, as shell lines to paste into
another shell. Needs the 'local' extra.
"""


def epilog(prog: str) -> str:
    """Examples and exit statuses, for the help of the command run as `prog`."""
    return (
        f"examples:\n  {prog}\n  {prog} --port 0 --api-key sk-local --processing-time 5\n\n"
        "exit status: 0 when stopped with Ctrl-C (or SIGTERM), 2 when the port is taken\n"
        "             or the 'local' extra is missing\n"
    )


def local_api_key(given: str | None) -> str:
    """The key of a local service: the one given, else $VELQUOR_API_KEY, else a new one."""
    return given or os.environ.get(ENV_API_KEY) or f"sk-local-{secrets.token_hex(8)}"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Give `parser` the options of the command: --port, --api-key, --processing-time."""
    parser.add_argument(
        "--port",
        metavar="N",
        type=int,
        default=DEFAULT_PORT,
        help=f"port to listen on, 0 for any free one (default: {DEFAULT_PORT}, where clients look by default)",
    )
    parser.add_argument(
        "--api-key",
        metavar="KEY",
        help="the key clients must present (default: $VELQUOR_API_KEY, else a new one)",
    )
    parser.add_argument(
        "--processing-time",
        metavar="S",
        type=float,
        default=DEFAULT_PROCESSING_TIME,
        help=f"seconds a started generation stays processing (default: {DEFAULT_PROCESSING_TIME:g})",
    )


def run(args: argparse.Namespace, service_class: Callable[..., Any], prog: str) -> int:
    """Run a service until Ctrl-C or SIGTERM, which end it with status 0.

    Args:
        args: The parsed options of `add_arguments`.
        service_class: `velquor_ai.testing.LocalService`.
        prog: How the command line is started, for the example it prints.

    Returns:
        The exit status, 0.

    Raises:
        ValidationError: If an option is refused or the port is taken.
    """
    if not 0 <= args.port <= 65535:
        raise ValidationError(f"--port must be between 0 and 65535, not {args.port}", field="port")
    if not args.processing_time >= 0:
        raise ValidationError(
            f"--processing-time must be 0 or more seconds, not {args.processing_time:g}", field="processing_time"
        )
    api_key = local_api_key(args.api_key)
    service = service_class(api_key=api_key, processing_time=args.processing_time, port=args.port)
    try:
        service.start()
    except OSError as exc:
        raise ValidationError(
            f"cannot listen on 127.0.0.1:{args.port}: {exc.strerror or exc}; choose another port with --port",
            field="port",
        ) from None
    # SIGTERM (a service manager, `kill`) stops it as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        print(f"export VELQUOR_BASE_URL={service.base_url}")
        print(f"export VELQUOR_API_KEY={api_key}", flush=True)
        print(
            f"Local service listening at {service.base_url}; stop it with Ctrl-C.\n"
            f"In another shell, run the two lines above, then for example:\n"
            f'  {prog} generate "What is shown?" --image cat.png',
            file=sys.stderr,
            flush=True,
        )
        while True:
            signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        # A second Ctrl-C does not cut the stop short (it takes a few seconds at most).
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        service.stop()
        signal.signal(signal.SIGTERM, previous)
        signal.signal(signal.SIGINT, signal.default_int_handler)
    print("Local service stopped", file=sys.stderr)
    return 0


def main(service_class: Callable[..., Any], argv: Sequence[str] | None = None) -> int:
    """`python -m velquor_ai.testing`: the command on its own, with its exit status."""
    prog = "python -m velquor_ai.testing"
    parser = argparse.ArgumentParser(
        prog=prog,
        description=DESCRIPTION,
        epilog=epilog(prog),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_arguments(parser)
    try:
        return run(parser.parse_args(argv), service_class, "python -m velquor_ai")
    except ValidationError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
