"""The declarations of a core module, read from its Python.

Each core module is written once, in Python, and its compiled twin keeps only
the C++ bodies of its functions. What the two share is read from the Python
here: names and `def` lines, parameters with their annotations, defaults and
the argument checks those annotations call for, return checks, docstrings and
the doctest table. `tools/declarations.py` writes the compiled modules'
declaration tables and the stubs from it, and `velquor_ai._pure` gives the
Python the same call boundary with it.

Standard library only, and no import from the package: the build loads this
file by its path, before the package exists anywhere.
"""

from __future__ import annotations

import ast
from collections.abc import Iterator
from dataclasses import dataclass

# What the call boundary makes of an argument, by its annotation: an exact
# built-in type, an int conversion, an exact list that may also be None, or
# nothing at all.
ANY = "any"
STR = "str"
BYTES = "bytes"
INT = "int"
LIST = "list"
DICT = "dict"
OPTIONAL_LIST = "optional list"


def check_of(annotation: str | None) -> str:
    """The check a parameter annotated so gets at the call."""
    if annotation in (STR, BYTES, INT):
        return annotation
    if annotation is None:
        return ANY
    if annotation.startswith("List["):
        return LIST
    if annotation.startswith("Dict["):
        return DICT
    if annotation.startswith("Optional[List["):
        return OPTIONAL_LIST
    return ANY


def result_check_of(returns: str | None) -> str:
    """The check a function's result gets: only str, bytes, list and dict results are tested."""
    check = check_of(returns)
    return ANY if check in (INT, OPTIONAL_LIST) else check


class DeclarationError(Exception):
    """The Python of a core module uses a form its compiled twin cannot declare."""

    def __init__(self, filename: str, node: ast.AST | None, message: str) -> None:
        line = getattr(node, "lineno", 0)
        super().__init__(f"{filename}:{line}: {message}")


@dataclass(frozen=True)
class Parameter:
    name: str
    annotation: str | None  # as written, a quoted annotation with its quotes
    default: ast.Constant | None  # the default (None or a str), None when there is none
    line: int
    check: str
    varargs: bool = False


@dataclass(frozen=True)
class Function:
    name: str
    qualname: str
    line: int  # co_firstlineno: that of the first decorator, else of the def
    parameters: tuple[Parameter, ...]
    returns: str | None
    doc: str | None  # exactly as written, indentation included
    is_async: bool
    node: ast.FunctionDef | ast.AsyncFunctionDef

    @property
    def varargs(self) -> bool:
        return bool(self.parameters) and self.parameters[-1].varargs

    @property
    def result_check(self) -> str:
        return result_check_of(self.returns)


@dataclass(frozen=True)
class Class:
    name: str
    line: int
    bases: tuple[str, ...]
    doc: str | None
    functions: tuple[Function, ...]
    node: ast.ClassDef


@dataclass(frozen=True)
class Module:
    doc: str | None
    # Module-level functions and classes in source order, but for the functions
    # whose names start with an underscore: helpers of the Python, which the
    # compiled module does its own way and never binds.
    definitions: tuple[Function | Class, ...]
    tree: ast.Module

    def functions(self) -> Iterator[Function]:
        """Every declared function and method, in source order."""
        for definition in self.definitions:
            if isinstance(definition, Class):
                yield from definition.functions
            else:
                yield definition

    def classes(self) -> Iterator[Class]:
        return (d for d in self.definitions if isinstance(d, Class))

    def doctests(self) -> dict[str, str]:
        """`__test__`: the docstrings that hold an interactive example, by qualified name and line."""
        return {f"{f.qualname} (line {f.line})": f.doc for f in self.functions() if f.doc and ">>>" in f.doc}


def annotation_text(node: ast.expr | None) -> str | None:
    return None if node is None else ast.unparse(node)


def raw_docstring(body: list[ast.stmt]) -> str | None:
    first = body[0] if body else None
    if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
        return first.value.value
    return None


def read_function(node: ast.FunctionDef | ast.AsyncFunctionDef, prefix: str, filename: str) -> Function:
    arguments = node.args
    if arguments.posonlyargs or arguments.kwonlyargs or arguments.kwarg:
        raise DeclarationError(filename, node, f"{node.name}: only plain parameters and *args can be declared")
    if arguments.vararg and arguments.args:
        raise DeclarationError(filename, node, f"{node.name}: *args can only be declared alone")
    defaults: list[ast.expr | None] = [None] * (len(arguments.args) - len(arguments.defaults))
    defaults += arguments.defaults
    parameters = []
    for argument, default in zip(arguments.args, defaults, strict=True):
        if default is not None and not (
            isinstance(default, ast.Constant) and (default.value is None or isinstance(default.value, str))
        ):
            raise DeclarationError(filename, default, f"{node.name}: only None and str defaults can be declared")
        annotation = annotation_text(argument.annotation)
        constant = default if isinstance(default, ast.Constant) else None
        parameters.append(Parameter(argument.arg, annotation, constant, argument.lineno, check_of(annotation)))
    if arguments.vararg:
        vararg = arguments.vararg
        parameters.append(
            Parameter(vararg.arg, annotation_text(vararg.annotation), None, vararg.lineno, ANY, varargs=True)
        )
    return Function(
        name=node.name,
        qualname=prefix + node.name,
        line=node.decorator_list[0].lineno if node.decorator_list else node.lineno,
        parameters=tuple(parameters),
        returns=annotation_text(node.returns),
        doc=raw_docstring(node.body),
        is_async=isinstance(node, ast.AsyncFunctionDef),
        node=node,
    )


def read_class(node: ast.ClassDef, filename: str) -> Class:
    if node.keywords or node.decorator_list:
        raise DeclarationError(filename, node, f"{node.name}: class keywords and decorators cannot be declared")
    bases = []
    for base in node.bases:
        if not isinstance(base, ast.Name):
            raise DeclarationError(filename, base, f"{node.name}: a base must be a module global")
        bases.append(base.id)
    functions = []
    for statement in node.body:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
            functions.append(read_function(statement, node.name + ".", filename))
        elif isinstance(statement, ast.ClassDef):
            raise DeclarationError(filename, statement, "nested classes cannot be declared")
    return Class(node.name, node.lineno, tuple(bases), raw_docstring(node.body), tuple(functions), node)


def read(source: str | bytes, filename: str) -> Module:
    """The declarations of the module whose Python is `source`."""
    tree = ast.parse(source, filename)
    definitions: list[Function | Class] = []
    for statement in tree.body:
        if isinstance(statement, ast.ClassDef):
            definitions.append(read_class(statement, filename))
        elif isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)) and not statement.name.startswith("_"):
            definitions.append(read_function(statement, "", filename))
    return Module(raw_docstring(tree.body), tuple(definitions), tree)
