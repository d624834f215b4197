"""The package's modules import one another in one direction: no import circle.

Every import counts, at module level or inside a function, except those under
`if TYPE_CHECKING:`, which never run.
"""

from __future__ import annotations

import ast
from collections.abc import Iterator
from pathlib import Path

import pytest

import velquor_ai


def module_names(root: Path) -> dict[str, Path | None]:
    """The dotted name of every module of the package under `root`, with its
    Python source (None for a compiled module, known by its stub)."""
    names: dict[str, Path | None] = {}
    for path in sorted(root.rglob("*.py*")):
        parts = path.relative_to(root.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        if path.suffix == ".py":
            names[".".join(parts)] = path
        elif path.suffix == ".pyi":
            names.setdefault(".".join(parts), None)
    return names


def runtime_nodes(tree: ast.AST) -> Iterator[ast.AST]:
    """The nodes of `tree`, leaving out the bodies of `if TYPE_CHECKING:`."""
    for node in ast.iter_child_nodes(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for branch in node.orelse:
                yield branch
                yield from runtime_nodes(branch)
            continue
        yield node
        yield from runtime_nodes(node)


def imports_of(name: str, path: Path | None, modules: dict[str, Path | None]) -> set[str]:
    """The modules of the package that the module `name` imports (those of a
    compiled module are not looked into)."""
    if path is None:
        return set()
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in runtime_nodes(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            # Level 1 is the module's own package, each further level one up.
            parts = package.split(".")
            anchor = parts[: len(parts) + 1 - node.level] if node.level else []
            base = ".".join([*anchor, *filter(None, [node.module])])
            # `from . import x` imports the module x if there is one, else the package.
            found.update(f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names)
    return found & modules.keys() - {name}


def find_circle(root: Path) -> list[str]:
    """One import circle among the package's modules, or [] if there is none."""
    modules = module_names(root)
    graph = {name: sorted(imports_of(name, path, modules)) for name, path in modules.items()}
    done: set[str] = set()
    path: list[str] = []

    def visit(name: str) -> list[str]:
        if name in path:
            return [*path[path.index(name) :], name]
        if name in done:
            return []
        path.append(name)
        for target in graph[name]:
            if circle := visit(target):
                return circle
        path.pop()
        done.add(name)
        return []

    for name in sorted(graph):
        if circle := visit(name):
            return circle
    return []


def test_the_package_has_no_import_circle() -> None:
    circle = find_circle(Path(velquor_ai.__file__).parent)
    assert circle == [], " -> ".join(circle)


@pytest.mark.parametrize(
    ("a_imports_b", "circle"),
    [
        ("from . import b", ["pkg.a", "pkg.b", "pkg.a"]),
        ("def f():\n    from .b import g", ["pkg.a", "pkg.b", "pkg.a"]),
        ("import pkg.b", ["pkg.a", "pkg.b", "pkg.a"]),
        ("from pkg.b import g", ["pkg.a", "pkg.b", "pkg.a"]),
        ("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .b import g", []),
    ],
)
def test_a_circle_is_found_unless_it_is_for_type_checkers_only(
    tmp_path: Path, a_imports_b: str, circle: list[str]
) -> None:
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "a.py").write_text(a_imports_b + "\n")
    (package / "b.py").write_text("from .a import x\n")
    assert find_circle(package) == circle
