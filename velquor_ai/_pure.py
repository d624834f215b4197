"""The core modules' Python, run with the call boundary of the compiled modules.

Where the compiled modules are not in use, the package imports each core
module from its Python through `PureModuleLoader`, which gives it what the
compiled module does at its boundary, read from the same declarations that
the compiled module's tables are generated from:

- each declared function binds its arguments as the compiled one does: the
  same count and keyword errors, exact `str`, `bytes`, `list` and `dict`
  arguments where the annotation names them, `None` only for `Optional[List]`,
  and `int` parameters converted with `int()` from any number;
- a function declared to return `str`, `bytes`, `list` or `dict` tests what it
  returns;
- `**value` refuses None and takes any other non-dict through `dict()`;
- `a, b = value` and `raise value` fail with the compiled modules' messages;
- classes keep their docstrings as written, and the module binds `__test__`,
  as the compiled ones do.

The source is rewritten for all but the first and the last in memory, keeping
every line where it is, so tracebacks name the module's own lines. What differs from the
compiled modules is only what introspection sees: plain functions and
coroutines, Python code objects, the `.py` file as `__file__`.
"""

from __future__ import annotations

import ast
import functools
import importlib.machinery
import importlib.util
import inspect
import os
import sys
from collections.abc import Callable, Collection, Sequence
from types import ModuleType
from typing import Any

from . import _declarations
from ._declarations import ANY, INT, OPTIONAL_LIST

BOUNDARY = "__velquor_boundary__"

EXACT_TYPES = {"str": str, "bytes": bytes, "int": int, "list": list, "dict": dict, OPTIONAL_LIST: list}

_HEAPTYPE = 1 << 9
_IMMUTABLETYPE = 1 << 8


def type_name(cls: type) -> str:
    """The name the interpreter's own messages give a type: module and name for
    types defined in C ("_io.BytesIO"), the plain name for classes."""
    flags = getattr(cls, "__flags__", _HEAPTYPE)
    module = cls.__module__
    if (flags & _HEAPTYPE and not flags & _IMMUTABLETYPE) or module == "builtins":
        return cls.__name__
    return f"{module}.{cls.__name__}"


def is_number(value: Any) -> bool:
    """What the compiled modules take as a number to convert with int()."""
    cls = type(value)
    return (
        hasattr(cls, "__index__") or hasattr(cls, "__int__") or hasattr(cls, "__float__") or isinstance(value, complex)
    )


SUBCLASS_NOTE = (
    "Subclasses of built-in types are refused here: the argument must be exactly of the built-in type, "
    "more strictly than PEP 484 asks."
)


def refuse_argument(name: str, check: str, value: Any) -> TypeError:
    expected = EXACT_TYPES[check]
    error = TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type_name(type(value))})"
    )
    if value is not None and isinstance(value, expected):
        error.add_note(SUBCLASS_NOTE)
    return error


def count_error(name: str, word: str, expected: int, given: int) -> TypeError:
    plural = "" if expected == 1 else "s"
    return TypeError(f"{name}() takes {word} {expected} positional argument{plural} ({given} given)")


def keyword_text(key: Any) -> str:
    # A str subclass is shown by its characters, whatever its __str__ says.
    return str.__str__(key) if isinstance(key, str) else str(key)


MISSING = object()  # a parameter that no argument has filled yet


def bind(
    name: str, positions: dict[str, int], defaults: tuple[Any, ...], args: tuple[Any, ...], kwargs: dict[Any, Any]
) -> list[Any]:
    """The arguments of a call in parameter order, as the compiled modules bind them;
    `positions` maps each parameter's name to its index."""
    count = len(positions)
    required = count - len(defaults)
    if len(args) > count:
        raise count_error(name, "at most" if defaults else "exactly", count, len(args))
    bound: list[Any] = [*args, *[MISSING] * (count - len(args))]
    for key, value in kwargs.items():
        if type(key) is str:
            index = positions.get(key)
        else:
            # A str subclass is matched by its own ==, never by its hash.
            index = next((i for known, i in positions.items() if key is known or bool(key == known)), None)
        if index is None:
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword_text(key)}'")
        if bound[index] is not MISSING:
            raise TypeError(f"{name}() got multiple values for keyword argument '{keyword_text(key)}'")
        bound[index] = value
    for i in range(len(args), count):
        if bound[i] is MISSING:
            if i < required:
                raise count_error(name, "at least" if defaults else "exactly", required, i)
            bound[i] = defaults[i - required]
    return bound


def check_arguments(checks: tuple[tuple[int, str, str], ...], args: Sequence[Any]) -> Sequence[Any]:
    """The arguments after the tests and int conversions of their parameters' annotations."""
    converted: list[Any] | None = None
    for index, name, check in checks:
        value = args[index]
        cls = type(value)
        if cls is EXACT_TYPES[check] or (value is None and check == OPTIONAL_LIST):
            continue
        if check != INT or not is_number(value):
            raise refuse_argument(name, check, value)
        if converted is None:
            converted = list(args)
        converted[index] = int(value)
    return args if converted is None else converted


def boundary_of(function: Callable[..., Any], declaration: _declarations.Function) -> Callable[..., Any]:
    """`function` called as its compiled twin is: arguments bound and checked first."""
    name = declaration.name
    if declaration.varargs:

        def call_varargs(*args: Any, **kwargs: Any) -> Any:
            if kwargs:
                raise TypeError(f"{name}() got an unexpected keyword argument '{keyword_text(next(iter(kwargs)))}'")
            return function(*args)

        return finish(call_varargs, function, declaration)

    positions = {parameter.name: i for i, parameter in enumerate(declaration.parameters)}
    defaults = function.__defaults__ or ()
    checks = tuple((i, p.name, p.check) for i, p in enumerate(declaration.parameters) if p.check != ANY)
    count = len(positions)

    def call(*args: Any, **kwargs: Any) -> Any:
        if kwargs or len(args) != count:
            args = bind(name, positions, defaults, args, kwargs)  # type: ignore[assignment]
        if checks:
            args = check_arguments(checks, args)  # type: ignore[assignment]
        return function(*args)

    return finish(call, function, declaration)


def finish(
    call: Callable[..., Any], function: Callable[..., Any], declaration: _declarations.Function
) -> Callable[..., Any]:
    wrapper: Callable[..., Any] = functools.update_wrapper(call, function)
    if declaration.is_async:
        # Calling it makes a coroutine, after the checks: asyncio and inspect
        # take it for the coroutine function it stands for.
        from asyncio import coroutines

        wrapper._is_coroutine = getattr(coroutines, "_is_coroutine", True)  # type: ignore[attr-defined]
        if hasattr(inspect, "markcoroutinefunction"):  # Python 3.12 and newer
            inspect.markcoroutinefunction(wrapper)
    return wrapper


class Boundary:
    """What the rewritten Python of one module calls: its functions' binding, result tests and `**`."""

    def __init__(self, declarations: _declarations.Module) -> None:
        self.declarations = {function.qualname: function for function in declarations.functions()}

    def declare(self, qualname: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
        declaration = self.declarations[qualname]
        return lambda function: boundary_of(function, declaration)

    @staticmethod
    def result(value: Any, check: str) -> Any:
        if value is None or type(value) is EXACT_TYPES[check]:
            return value
        raise TypeError(f"Expected {check}, got {type_name(type(value))}")

    @staticmethod
    def unpack(value: Any, count: int) -> Any:
        """The items of `value` for `count` targets, taking no more than one item too many."""
        items: list[Any] = []
        for item in value:
            if len(items) == count:
                raise ValueError(f"too many values to unpack (expected {count})")
            items.append(item)
        if len(items) < count:
            raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'} to unpack")
        return items

    @staticmethod
    def raising(value: Any) -> Any:
        """What `raise value` raises: value itself when it is an exception or an exception class."""
        if isinstance(value, BaseException) or (isinstance(value, type) and issubclass(value, BaseException)):
            return value
        return TypeError("raise: exception class must be a subclass of BaseException")

    @staticmethod
    def mapping(value: Any) -> Any:
        if type(value) is dict:
            return value
        if value is None:
            raise TypeError("argument after ** must be a mapping, not NoneType")
        return dict(value)


def boundary_call(method: str, *args: ast.expr, line_of: ast.AST) -> ast.Call:
    target = ast.Attribute(ast.Name(BOUNDARY, ast.Load()), method, ast.Load())
    call = ast.Call(target, list(args), [])
    for node in (call, target, target.value):
        ast.copy_location(node, line_of)
    return call


class Rewrite(ast.NodeTransformer):
    """Puts the boundary into a module's Python, line for line."""

    def __init__(self, declarations: _declarations.Module) -> None:
        self.functions = {id(function.node): function for function in declarations.functions()}

    def visit_FunctionDef(self, node: ast.FunctionDef | ast.AsyncFunctionDef) -> Any:
        declaration = self.functions.get(id(node))
        if declaration is not None:
            # The innermost decorator, on the def line: a decorated function
            # keeps the line of its first decorator, the others that of the def.
            marker = ast.Constant(declaration.qualname)
            node.decorator_list.append(boundary_call("declare", ast.copy_location(marker, node), line_of=node))
            if declaration.result_check != ANY:
                self.test_returns(node, declaration.result_check)
        return self.generic_visit(node)

    visit_AsyncFunctionDef = visit_FunctionDef

    @staticmethod
    def test_returns(node: ast.FunctionDef | ast.AsyncFunctionDef, check: str) -> None:
        own: list[ast.AST] = list(node.body)  # its own statements, not those of functions inside it
        while own:
            child = own.pop()
            if isinstance(child, ast.Return) and child.value is not None:
                kind = ast.copy_location(ast.Constant(check), child.value)
                child.value = boundary_call("result", child.value, kind, line_of=child.value)
            if not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
                own.extend(ast.iter_child_nodes(child))

    def visit_Assign(self, node: ast.Assign) -> Any:
        [target, *others] = node.targets
        if not others and isinstance(target, (ast.Tuple, ast.List)):
            if not any(isinstance(element, ast.Starred) for element in target.elts):
                count = ast.copy_location(ast.Constant(len(target.elts)), node.value)
                node.value = boundary_call("unpack", node.value, count, line_of=node.value)
        return self.generic_visit(node)

    def visit_Raise(self, node: ast.Raise) -> Any:
        if node.exc is not None:
            node.exc = boundary_call("raising", node.exc, line_of=node.exc)
        return self.generic_visit(node)

    def visit_Call(self, node: ast.Call) -> Any:
        for keyword in node.keywords:
            if keyword.arg is None:
                keyword.value = boundary_call("mapping", keyword.value, line_of=keyword.value)
        return self.generic_visit(node)


class PureModuleLoader(importlib.machinery.SourceFileLoader):
    """Loads a core module from its Python, with the boundary put in."""

    def get_code(self, fullname: str) -> Any:
        # Never from a bytecode cache: one written for the plain source has no boundary.
        path = self.get_filename(fullname)
        self.declarations = _declarations.read(self.get_data(path), path)
        tree = Rewrite(self.declarations).visit(self.declarations.tree)
        return compile(tree, path, "exec", dont_inherit=True)

    def exec_module(self, module: ModuleType) -> None:
        code = self.get_code(module.__name__)
        namespace = vars(module)
        namespace[BOUNDARY] = Boundary(self.declarations)
        exec(code, namespace)
        # A class keeps its docstring as written, as the compiled classes do
        # (Python 3.13 and newer take the common indentation out).
        for declared in self.declarations.classes():
            cls = namespace.get(declared.name)
            if isinstance(cls, type) and cls.__doc__ != declared.doc:
                cls.__doc__ = declared.doc
        namespace["__test__"] = self.declarations.doctests()


class PureModuleFinder:
    """Finds the core modules' Python for the import system (put first on sys.meta_path)."""

    def __init__(self, names: Collection[str]) -> None:
        self.names = frozenset(names)

    def find_spec(self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None) -> Any:
        if fullname not in self.names:
            return None
        return spec_of(fullname, path or ())

    def invalidate_caches(self) -> None:
        pass


def spec_of(fullname: str, directories: Sequence[str], name: str | None = None) -> Any:
    short = fullname.rpartition(".")[2]
    for directory in directories:
        source = os.path.join(directory, short + ".py")
        if os.path.isfile(source):
            name = name or fullname
            return importlib.util.spec_from_file_location(name, source, loader=PureModuleLoader(name, source))
    return None


def install(package: str, modules: Collection[str]) -> None:
    """Makes the import system load the package's core modules from their Python."""
    if not any(isinstance(finder, PureModuleFinder) for finder in sys.meta_path):
        sys.meta_path.insert(0, PureModuleFinder([f"{package}.{name}" for name in modules]))


def load(dotted: str, name: str | None = None) -> ModuleType:
    """A new module made from a core module's Python, with the boundary, under
    `name` (the dotted name by default); it is not put in sys.modules."""
    package = importlib.import_module(dotted.rpartition(".")[0])
    spec = spec_of(dotted, list(package.__path__), name)
    if spec is None:
        raise ImportError(f"no Python source for {dotted}", name=dotted)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
