"""Local (on-premise) blueprint client.

Generates, validates and executes blueprints on the local machine, without the
remote service. A blueprint is a JSON object:

    {
      "version": 1,
      "question": "What is in these pictures?",
      "inputs": [
        {"name": "cat.png", "size": 1234, "content_type": "image/png",
         "sha256": "<64 hex digits>"}
      ],
      "steps": [
        {"action": "describe", "input": 0},
        {"action": "answer"}
      ]
    }

`inputs` records the files the blueprint was generated from (by name, never by
path, so a blueprint does not reveal or depend on where files lay). `steps` has one
"describe" step per such input and ends with a single "answer" step. Executing a
blueprint describes each input file it is given, in order, writing one JSON report
per file, and then runs the answer step.

Blueprints are always written canonically (keys sorted, compact separators), so
the same question and the same files give the same text.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import mimetypes
import os
import re
import tempfile
from pathlib import Path
from typing import Any

__all__ = ["BLUEPRINT_VERSION", "BlueprintError", "VelquorAPIClient"]

BLUEPRINT_VERSION = 1

_READ_CHUNK = 1024 * 1024
_SHA256 = re.compile(r"[0-9a-f]{64}")
_UNSAFE_NAME_CHARACTERS = re.compile(r"[^A-Za-z0-9._-]+")
_TOP_LEVEL_KEYS = frozenset({"version", "question", "inputs", "steps"})
_INPUT_KEYS = frozenset({"name", "size", "content_type", "sha256"})


class BlueprintError(ValueError):
    """A blueprint text that is not JSON or does not have the blueprint's shape."""


# A private table built from the standard library's defaults only, so that
# content types, and with them the blueprints, do not depend on the machine's
# /etc/mime.types.
_MIME_TYPES = mimetypes.MimeTypes()


class VelquorAPIClient:
    """Generate, validate and execute blueprints locally.

    Attributes:
        workdir: Folder under which executions write their outputs, or None for a
            new temporary folder per execution.

    Examples:
        >>> client = VelquorAPIClient(workdir="out")
        >>> blueprint = await client.generate_blueprint("Describe", ["a.png"])
        >>> client.validate_blueprint(blueprint) == blueprint
        True
        >>> result = await client.execute_blueprint(blueprint, ["b.png"])
        >>> result["output"]
        ['out/execution-.../000-b.png.json']
    """

    def __init__(self, workdir: str | os.PathLike[str] | None = None) -> None:
        """Create the client.

        Args:
            workdir: Folder for execution outputs; created when first needed. Each
                execution writes into a new subfolder of it, so runs never
                overwrite each other. With None each execution uses a new
                temporary folder, which the caller removes when done.
        """
        self.workdir = None if workdir is None else Path(workdir).absolute()

    async def generate_blueprint(self, question: str, input_data: list[str] | None = None) -> str:
        """Generate a blueprint that answers a question about input files.

        Args:
            question: The question to answer; must contain non-blank text.
            input_data: Paths of the input files, or None (or []) for none.

        Returns:
            The blueprint as canonical JSON text.

        Raises:
            TypeError: If the question or a path has the wrong type.
            ValueError: If the question is blank or a path is empty.
            FileNotFoundError: If an input file does not exist.
            OSError: If an input file cannot be read.
        """
        text = _check_question(question)
        paths = _check_paths(input_data)
        inputs = [await asyncio.to_thread(_describe_file, path) for path in paths]
        steps: list[dict[str, Any]] = [{"action": "describe", "input": index} for index in range(len(inputs))]
        steps.append({"action": "answer"})
        return _dumps(
            {
                "version": BLUEPRINT_VERSION,
                "question": text,
                "inputs": inputs,
                "steps": steps,
            }
        )

    def validate_blueprint(self, blueprint: str) -> str:
        """Check a blueprint and return it in canonical form.

        Args:
            blueprint: The blueprint's JSON text.

        Returns:
            The same blueprint as canonical JSON text.

        Raises:
            TypeError: If the blueprint is not a str.
            BlueprintError: A `ValueError`, if it is not JSON or does not have
                the blueprint's shape; the message says what is wrong.
        """
        return _dumps(_parse_blueprint(blueprint))

    async def execute_blueprint(self, blueprint: str, input_data: list[str]) -> dict[str, Any]:
        """Run a blueprint over input files and write one report per file.

        Every input is read and checked before anything is written, so a missing
        file leaves no partial output behind.

        Args:
            blueprint: The blueprint's JSON text.
            input_data: Paths of the input files; at least one.

        Returns:
            {"output": [report paths, one per input, in input order],
             "steps": number of steps run (one describe per input plus the answer),
             "inputs": [description of each input file],
             "answer": one-line summary of the run}

        Raises:
            TypeError: If the blueprint or a path has the wrong type.
            BlueprintError: A `ValueError`, if the blueprint is invalid.
            ValueError: If no input file is given.
            FileNotFoundError: If an input file does not exist.
            OSError: If an input cannot be read or an output cannot be written.
        """
        document = _parse_blueprint(blueprint)
        paths = _check_paths(input_data)
        if not paths:
            raise ValueError("At least one input file is required for execution")
        inputs = [await asyncio.to_thread(_describe_file, path) for path in paths]

        blueprint_digest = hashlib.sha256(_dumps(document).encode("utf-8")).hexdigest()
        output_dir = await asyncio.to_thread(self._make_output_dir)
        outputs: list[str] = []
        for index, description in enumerate(inputs):
            report = {
                "blueprint_sha256": blueprint_digest,
                "index": index,
                "input": description,
                "question": document["question"],
                "step": "describe",
            }
            target = output_dir / f"{index:03d}-{_safe_name(description['name'])}.json"
            await asyncio.to_thread(_write_new_file, target, _dumps(report) + "\n")
            outputs.append(str(target))

        total = sum(description["size"] for description in inputs)
        return {
            "output": outputs,
            "steps": len(inputs) + 1,
            "inputs": inputs,
            "answer": (f"Described {len(inputs)} input file(s), {total} bytes, for: {document['question']}"),
        }

    def _make_output_dir(self) -> Path:
        if self.workdir is None:
            return Path(tempfile.mkdtemp(prefix="velquor-execution-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        return Path(tempfile.mkdtemp(prefix="execution-", dir=self.workdir))


def _check_question(question: Any) -> str:
    if not isinstance(question, str):
        raise TypeError(f"question must be a str, not {type(question).__name__}")
    text = question.strip()
    if not text:
        raise ValueError("question must not be blank")
    return text


def _check_paths(input_data: Any) -> list[str]:
    if input_data is None:
        return []
    if not isinstance(input_data, (list, tuple)):
        raise TypeError(f"input_data must be a list of paths, not {type(input_data).__name__}")
    paths: list[str] = []
    for item in input_data:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"input path must be a str, not {type(item).__name__}")
        path = os.fspath(item)
        if not isinstance(path, str):
            raise TypeError(f"input path must be a str, not {type(path).__name__}")
        if not path:
            raise ValueError("input path must not be empty")
        paths.append(path)
    return paths


def _describe_file(path: str) -> dict[str, Any]:
    """Name, size, content type and SHA-256 digest of one file (blocking)."""
    digest = hashlib.sha256()
    size = 0
    # Size and digest come from the same read, so they always agree.
    with open(path, "rb") as file:
        while chunk := file.read(_READ_CHUNK):
            digest.update(chunk)
            size += len(chunk)
    name = Path(path).name
    content_type = _MIME_TYPES.guess_type(name)[0] or "application/octet-stream"
    return {
        "content_type": content_type,
        "name": name,
        "sha256": digest.hexdigest(),
        "size": size,
    }


def _safe_name(name: str) -> str:
    return _UNSAFE_NAME_CHARACTERS.sub("_", name).strip(".") or "input"


def _write_new_file(path: Path, text: str) -> None:
    # "x": never replace a file that is already there.
    with open(path, "x", encoding="utf-8") as file:
        file.write(text)


def _dumps(value: Any) -> str:
    return json.dumps(
        value,
        sort_keys=True,
        separators=(",", ":"),
        ensure_ascii=False,
        allow_nan=False,
    )


def _invalid(reason: str) -> BlueprintError:
    return BlueprintError(f"Invalid blueprint: {reason}")


def _refuse_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _invalid(f"duplicate key {key!r}")
        result[key] = value
    return result


def _refuse_constant(name: str) -> Any:
    raise _invalid(f"{name} is not a JSON value")


def _parse_blueprint(blueprint: Any) -> dict[str, Any]:
    """Parse and check a blueprint; BlueprintError says what is wrong."""
    if not isinstance(blueprint, str):
        raise TypeError(f"blueprint must be a str, not {type(blueprint).__name__}")
    try:
        document = json.loads(
            blueprint,
            object_pairs_hook=_refuse_duplicates,
            parse_constant=_refuse_constant,
        )
    except BlueprintError:
        raise
    except RecursionError as exc:
        raise _invalid("nested too deeply") from exc
    except ValueError as exc:
        raise _invalid(f"not JSON ({exc})") from exc

    if not isinstance(document, dict):
        raise _invalid("expected a JSON object")
    _check_keys(document, _TOP_LEVEL_KEYS, "blueprint")
    version = document["version"]
    if type(version) is not int or version != BLUEPRINT_VERSION:
        raise _invalid(f"unsupported version {version!r} (expected {BLUEPRINT_VERSION})")
    question = document["question"]
    if not isinstance(question, str) or not question.strip():
        raise _invalid("question must be a non-blank string")

    inputs = document["inputs"]
    if not isinstance(inputs, list):
        raise _invalid("inputs must be a list")
    for index, entry in enumerate(inputs):
        _check_input(entry, f"inputs[{index}]")

    steps = document["steps"]
    if not isinstance(steps, list) or not steps:
        raise _invalid("steps must be a non-empty list")
    for index, step in enumerate(steps):
        where = f"steps[{index}]"
        if not isinstance(step, dict):
            raise _invalid(f"{where} must be an object")
        action = step.get("action")
        last = index == len(steps) - 1
        if action == "answer":
            _check_keys(step, frozenset({"action"}), where)
            if not last:
                raise _invalid(f"{where} answer must be the last step")
        elif action == "describe":
            _check_keys(step, frozenset({"action", "input"}), where)
            target = step["input"]
            if type(target) is not int or not 0 <= target < len(inputs):
                raise _invalid(f"{where} input must index one of the {len(inputs)} inputs, got {target!r}")
        else:
            raise _invalid(f"{where} has unknown action {action!r}")
        if last and action != "answer":
            raise _invalid("the last step must be the answer step")
    return document


def _check_input(entry: Any, where: str) -> None:
    if not isinstance(entry, dict):
        raise _invalid(f"{where} must be an object")
    _check_keys(entry, _INPUT_KEYS, where)
    name = entry["name"]
    if not isinstance(name, str) or not name or "/" in name or "\\" in name:
        raise _invalid(f"{where}.name must be a bare file name")
    size = entry["size"]
    if type(size) is not int or size < 0:
        raise _invalid(f"{where}.size must be a non-negative integer")
    content_type = entry["content_type"]
    if not isinstance(content_type, str) or "/" not in content_type:
        raise _invalid(f"{where}.content_type must be a MIME type")
    digest = entry["sha256"]
    if not isinstance(digest, str) or not _SHA256.fullmatch(digest):
        raise _invalid(f"{where}.sha256 must be 64 lowercase hex digits")


def _check_keys(mapping: dict[str, Any], expected: frozenset[str], where: str) -> None:
    missing = sorted(expected - mapping.keys())
    if missing:
        raise _invalid(f"{where} lacks {', '.join(missing)}")
    unknown = sorted(mapping.keys() - expected)
    if unknown:
        raise _invalid(f"{where} has unknown {', '.join(unknown)}")
