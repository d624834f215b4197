"""The local blueprint client on real files."""

from __future__ import annotations

import asyncio
import hashlib
import json
import shutil
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from velquor_api_client import BlueprintError, VelquorAPIClient

PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 5
MP4 = b"\x00\x00\x00\x18ftypmp42" + b"\x01" * 3000


@pytest.fixture
def inputs(tmp_path: Path) -> list[Path]:
    folder = tmp_path / "inputs"
    folder.mkdir()
    files = {"photo.png": PNG, "clip.mp4": MP4, "notes": b""}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return [folder / name for name in files]


def _generate(question: str, paths: list[Any] | None) -> str:
    return asyncio.run(VelquorAPIClient().generate_blueprint(question, paths))


def test_generated_blueprint_describes_inputs_canonically(inputs: list[Path]) -> None:
    blueprint = _generate("  What is shown?  ", [str(p) for p in inputs])
    document = json.loads(blueprint)
    assert blueprint == json.dumps(document, sort_keys=True, separators=(",", ":"))
    assert document["version"] == 1
    assert document["question"] == "What is shown?"
    assert document["inputs"] == [
        {"name": "photo.png", "size": len(PNG), "content_type": "image/png",
         "sha256": hashlib.sha256(PNG).hexdigest()},
        {"name": "clip.mp4", "size": len(MP4), "content_type": "video/mp4",
         "sha256": hashlib.sha256(MP4).hexdigest()},
        {"name": "notes", "size": 0, "content_type": "application/octet-stream",
         "sha256": hashlib.sha256(b"").hexdigest()},
    ]  # fmt: skip
    assert document["steps"] == [
        {"action": "describe", "input": 0},
        {"action": "describe", "input": 1},
        {"action": "describe", "input": 2},
        {"action": "answer"},
    ]


def test_generation_is_deterministic_and_independent_of_location(inputs: list[Path], tmp_path: Path) -> None:
    moved = tmp_path / "elsewhere"
    shutil.copytree(inputs[0].parent, moved)
    first = _generate("Q", inputs)
    assert _generate("Q", [str(p) for p in inputs]) == first
    assert _generate("Q", [moved / p.name for p in inputs]) == first
    assert _generate("Another Q", inputs) != first
    assert _generate("Q", list(reversed(inputs))) != first


@pytest.mark.parametrize("no_inputs", [None, []])
def test_generation_without_inputs_has_only_the_answer_step(no_inputs: Any) -> None:
    document = json.loads(_generate("Q", no_inputs))
    assert (document["inputs"], document["steps"]) == ([], [{"action": "answer"}])


@pytest.mark.parametrize(
    ("question", "paths", "error"),
    [
        ("Q", ["{missing}"], FileNotFoundError),
        ("Q", ["{dir}"], IsADirectoryError),
        ("   ", None, ValueError),
        (None, None, TypeError),
        ("Q", [b"photo.png"], TypeError),
        ("Q", [""], ValueError),
        ("Q", "photo.png", TypeError),
    ],
)
def test_generation_refusals(tmp_path: Path, question: Any, paths: Any, error: type[Exception]) -> None:
    if isinstance(paths, list):
        paths = [p.format(missing=tmp_path / "nope.png", dir=tmp_path) if isinstance(p, str) else p for p in paths]
    with pytest.raises(error):
        _generate(question, paths)


def _valid_document() -> dict[str, Any]:
    return {
        "version": 1,
        "question": "Q",
        "inputs": [
            {
                "name": "a.png",
                "size": 3,
                "content_type": "image/png",
                "sha256": "a" * 64,
            }
        ],
        "steps": [{"action": "describe", "input": 0}, {"action": "answer"}],
    }


def test_validation_returns_canonical_text() -> None:
    client = VelquorAPIClient()
    loose = json.dumps(_valid_document(), indent=4)
    canonical = client.validate_blueprint(loose)
    assert canonical == json.dumps(_valid_document(), sort_keys=True, separators=(",", ":"))
    assert client.validate_blueprint(canonical) == canonical


def _mutated(change: Callable[[dict[str, Any]], Any]) -> str:
    document = _valid_document()
    change(document)
    return json.dumps(document)


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("not json", "not JSON"),
        ("[1, 2]", "expected a JSON object"),
        ('{"version": 1, "version": 1}', "duplicate key"),
        (_mutated(lambda s: s.update(version=2)), "unsupported version"),
        (_mutated(lambda s: s.update(version=True)), "unsupported version"),
        (_mutated(lambda s: s.update(question=" ")), "question"),
        (_mutated(lambda s: s.pop("steps")), "lacks steps"),
        (_mutated(lambda s: s.update(extra=1)), "unknown extra"),
        (_mutated(lambda s: s.update(steps=[])), "non-empty list"),
        (_mutated(lambda s: s["steps"].reverse()), "answer must be the last step"),
        (_mutated(lambda s: s["steps"].pop()), "last step must be the answer"),
        (_mutated(lambda s: s["steps"][0].update(input=1)), "must index one of"),
        (_mutated(lambda s: s["steps"][0].update(input=False)), "must index one of"),
        (_mutated(lambda s: s["steps"][0].update(action="delete")), "unknown action"),
        (_mutated(lambda s: s["inputs"][0].update(name="../a.png")), "bare file name"),
        (_mutated(lambda s: s["inputs"][0].update(size=-1)), "non-negative"),
        (_mutated(lambda s: s["inputs"][0].update(sha256="A" * 64)), "sha256"),
        (_mutated(lambda s: s["inputs"][0].update(content_type="png")), "MIME"),
        (
            _mutated(lambda s: s["inputs"][0].update(size=float("nan"))),
            "not a JSON value",
        ),
    ],
)
def test_validation_refusals(text: str, reason: str) -> None:
    with pytest.raises(ValueError, match=reason) as info:
        VelquorAPIClient().validate_blueprint(text)
    assert isinstance(info.value, BlueprintError)


def test_validation_refuses_non_text() -> None:
    with pytest.raises(TypeError):
        VelquorAPIClient().validate_blueprint(_valid_document())  # type: ignore[arg-type]


def test_execution_writes_one_report_per_input(inputs: list[Path], tmp_path: Path) -> None:
    workdir = tmp_path / "work" / "nested"
    client = VelquorAPIClient(workdir=workdir)
    blueprint = _generate("What is shown?", inputs[:1])

    async def two_runs() -> tuple[dict[str, Any], dict[str, Any]]:
        return await asyncio.gather(
            client.execute_blueprint(blueprint, [str(p) for p in inputs]),
            client.execute_blueprint(blueprint, [inputs[1], inputs[1]]),
        )

    first, second = asyncio.run(two_runs())
    assert first["steps"] == 4 and second["steps"] == 3
    assert [d["name"] for d in first["inputs"]] == ["photo.png", "clip.mp4", "notes"]
    assert len(first["output"]) == 3 and len(second["output"]) == 2
    every = [Path(p) for p in first["output"] + second["output"]]
    assert len(set(every)) == 5  # nothing overwritten, not even a repeated input
    assert all(p.is_absolute() and p.parents[1] == workdir for p in every)
    assert Path(first["output"][0]).parent != Path(second["output"][0]).parent

    digest = hashlib.sha256(client.validate_blueprint(blueprint).encode()).hexdigest()
    for path, source in zip(first["output"], inputs, strict=True):
        report = json.loads(Path(path).read_text(encoding="utf-8"))
        assert report["input"]["sha256"] == hashlib.sha256(source.read_bytes()).hexdigest()
        assert report["input"]["size"] == source.stat().st_size
        assert report["blueprint_sha256"] == digest
        assert report["question"] == "What is shown?"


def test_execution_without_workdir_uses_a_fresh_temporary_folder(
    inputs: list[Path],
) -> None:
    client = VelquorAPIClient()
    blueprint = _generate("Q", None)
    result = asyncio.run(client.execute_blueprint(blueprint, [inputs[0]]))
    folder = Path(result["output"][0]).parent
    try:
        assert folder.is_dir() and [p.name for p in folder.iterdir()] == ["000-photo.png.json"]
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize(
    ("blueprint", "paths", "error"),
    [
        ("valid", [], ValueError),
        ("valid", None, ValueError),
        ("{broken", ["photo.png"], ValueError),
        ("valid", ["photo.png", "missing.png"], FileNotFoundError),
    ],
)
def test_execution_refusals_leave_no_output(
    inputs: list[Path], tmp_path: Path, blueprint: str, paths: Any, error: type
) -> None:
    workdir = tmp_path / "work"
    client = VelquorAPIClient(workdir)
    if blueprint == "valid":
        blueprint = _generate("Q", None)
    if paths is not None:
        paths = [inputs[0].parent / p for p in paths]
    with pytest.raises(error):
        asyncio.run(client.execute_blueprint(blueprint, paths))
    assert not workdir.exists()
