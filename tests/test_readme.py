"""Every Python and shell block of README.md runs as written, against a local
service, in a folder of its own; every JSON block is JSON or JSON Lines. The
conventions (placeholders, the files made for a block, the markers that skip a
block or make it a file) are in CONTRIBUTING.md, "The README's examples".
"""

from __future__ import annotations

import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest
from support import package_env

import velquor_ai

README = Path(__file__).resolve().parents[1] / "README.md"

RUNNABLE = {"python", "sh", "bash", "shell"}
DATA = {"json", "jsonl"}
_FENCE = re.compile(r"^```(\w*)\s*$")
_MARKER = re.compile(r"^<!--\s*readme-test:\s*(skip|file)\s*(.*?)\s*-->$")
_MEDIA = re.compile(r"[\w./-]*\w\.(?:png|jpe?g|mp4)\b")
_MEDIA_BYTES = {
    "png": b"\x89PNG\r\n\x1a\n" + bytes(64),
    "jpg": b"\xff\xd8\xff\xe0" + bytes(64),
    "jpeg": b"\xff\xd8\xff\xe0" + bytes(64),
    "mp4": b"\x00\x00\x00\x18ftypmp42" + bytes(64),
}
_BUILTINS = {"export", "cd", "set", "echo", "source", ".", "test", "["}


@dataclass
class Block:
    heading: str
    index: int
    lang: str
    text: str
    line: int
    skip: str | None = None
    file: str | None = None

    @property
    def name(self) -> str:
        return f"{re.sub(r'[^a-z0-9]+', '-', self.heading.lower()).strip('-')}-{self.index}"


def read_blocks(text: str) -> list[Block]:
    """The fenced blocks of a Markdown text, with the markers right before them."""
    blocks: list[Block] = []
    heading, counts, markers = "top", Counter[str](), dict[str, str]()
    lines = text.splitlines()
    number = 0
    while number < len(lines):
        line = lines[number]
        fence = _FENCE.match(line)
        if fence:
            end = next(i for i in range(number + 1, len(lines)) if lines[i].startswith("```"))
            counts[heading] += 1
            body = "\n".join(lines[number + 1 : end]) + "\n"
            blocks.append(Block(heading, counts[heading], fence.group(1), body, number + 1, **markers))
            markers, number = {}, end
        elif line.startswith("#"):
            heading, markers = line.lstrip("#").strip(), {}
        elif marker := _MARKER.match(line.strip()):
            markers[marker.group(1)] = marker.group(2).strip("()") or "marked in README.md"
        elif line.strip():
            markers = {}
        number += 1
    return blocks


BLOCKS = read_blocks(README.read_text(encoding="utf-8"))
SAMPLES = {block.file: block for block in BLOCKS if block.file}


def substitute(text: str, values: dict[str, str]) -> str:
    for placeholder, value in values.items():
        text = text.replace(placeholder, value)
    return text


def written_by(block: Block) -> set[str]:
    """The files a shell block writes itself: `> NAME`, `--out NAME`."""
    return set(re.findall(r"(?:>|--out)\s+([^\s;|&]+)", block.text)) if block.lang in RUNNABLE - {"python"} else set()


def prepare(block: Block, folder: Path, values: dict[str, str]) -> None:
    """Make the files `block` names in `folder`: the samples, then the media."""
    texts = [block.text]
    for name, sample in SAMPLES.items():
        if sample is not block and name in block.text and name not in written_by(block):
            (folder / name).write_text(substitute(sample.text, values))
            texts.append(sample.text)
    for media in {m for text in texts for m in _MEDIA.findall(text)}:
        path = folder / media
        path.parent.mkdir(parents=True, exist_ok=True)
        if not path.exists():
            path.write_bytes(_MEDIA_BYTES[media.rsplit(".", 1)[1].lower()])


def missing_commands(text: str, path: str) -> list[str]:
    """The commands of a shell block that are not on `path`."""
    missing = []
    for line in text.splitlines():
        try:
            tokens = shlex.split(line, comments=True)
        except ValueError:
            continue
        first = True
        for token in tokens:
            if token in ("|", "||", "&&", ";"):
                first = True
            elif first and not re.match(r"^\w+=", token):
                first = False
                if token not in _BUILTINS and shutil.which(token, path=path) is None:
                    missing.append(token)
    return missing


def environment(service: Any, folder: Path) -> dict[str, str]:
    return package_env(
        VELQUOR_BASE_URL=service.base_url,
        VELQUOR_API_KEY=service.api_key,
        PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]),
        TMPDIR=str(folder),  # temporary folders the commands make go away with it
    )


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.lang in RUNNABLE], ids=lambda b: b.name)
def test_readme_block_runs(block: Block, service: Any, tmp_path: Path) -> None:
    if block.skip:
        pytest.skip(f"README.md line {block.line}: {block.skip}")
    values = {"https://service.example": service.base_url, "sk-...": service.api_key}
    if "GENERATION_ID" in block.text:
        with velquor_ai.VelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            values["GENERATION_ID"] = client.generate("What is shown?", interval=1).generation_id
    prepare(block, tmp_path, values)
    env = environment(service, tmp_path)
    code = substitute(block.text, values)
    if block.lang == "python":
        tests = re.search(r"^def test_", code, re.MULTILINE) is not None
        script = tmp_path / ("test_readme_block.py" if tests else "readme_block.py")
        command = [sys.executable, *(["-m", "pytest", "-q", "-p", "no:cacheprovider"] if tests else []), str(script)]
    else:
        missing = missing_commands(code, env["PATH"])
        if missing:
            pytest.skip(f"README.md line {block.line} needs {', '.join(sorted(set(missing)))}")
        script = tmp_path / "readme_block.sh"
        command = ["bash", "-e", "-o", "pipefail", str(script)]
    script.write_text(code)
    result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"README.md line {block.line}:\n{result.stdout}\n{result.stderr}"


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.lang in DATA], ids=lambda b: b.name)
def test_readme_json_is_json_lines(block: Block) -> None:
    try:
        json.loads(block.text)
    except ValueError:
        for number, line in enumerate(block.text.splitlines(), block.line + 1):
            try:
                json.loads(line)
            except ValueError as error:
                pytest.fail(f"README.md line {number} is not a line of JSON Lines: {error}")


def test_readme_blocks_are_found_and_named_uniquely() -> None:
    names = [b.name for b in BLOCKS]
    assert len(names) == len(set(names))
    assert {"usage-1", "command-line-1", "testing-your-code-1"} <= set(names)
    assert {b.file for b in BLOCKS if b.file} >= {"jobs.jsonl", "results.jsonl"}
