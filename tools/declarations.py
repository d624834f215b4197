"""Writes what the core modules declare, from their Python: the compiled
modules' declaration tables and the typing stubs.

For each core module, `velquor_ai/<path>.py` is its one source. From it this
tool writes, beside it:

- `<name>.declarations.hpp`: the FunctionDef, ClassDef and ModuleDef tables,
  the slots of its async functions and the declarations of the bodies that
  `<name>.cpp` defines, which includes it;
- `<name>.pyi`: the stub, with the docstrings.

It also checks that every `at(N)` in a body of `<name>.cpp` names a line of a
statement of the same function in the Python (of the module or class body,
for the module and class body functions), and that the package's list of core
modules is the set of C++ sources.

    python tools/declarations.py          write what changed, say what
    python tools/declarations.py --check  write nothing; fail, showing the
                                          difference, if anything is stale

The build runs the first, `make lint` the second. Needs CPython 3.13: the
compiled functions' co_varnames are those 3.13 gives the Python.
"""

from __future__ import annotations

import argparse
import ast
import copy
import difflib
import importlib.util
import re
import sys
from collections.abc import Iterator
from pathlib import Path
from types import CodeType, ModuleType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from velquor_ai._declarations import Class, Function, Module, Parameter

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "velquor_ai"


def load_by_path(name: str) -> ModuleType:
    """A module of the package loaded from its file alone, without the package."""
    spec = importlib.util.spec_from_file_location(f"velquor_ai_{name}", PACKAGE / f"{name}.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses looks its module up
    spec.loader.exec_module(module)
    return module


declarations = load_by_path("_declarations")
mode = load_by_path("_mode")

GENERATED = "Generated from {source} by tools/declarations.py: do not edit."

CHECKS = {
    declarations.ANY: "Any",
    declarations.STR: "Str",
    declarations.BYTES: "Bytes",
    declarations.INT: "Int",
    declarations.LIST: "List",
    declarations.DICT: "Dict",
    declarations.OPTIONAL_LIST: "OptionalList",
}
CPP_KEYWORDS = {"and", "auto", "bool", "break", "case", "catch", "char", "class", "const", "continue", "default",
                "delete", "do", "double", "else", "enum", "explicit", "export", "extern", "false", "float", "for",
                "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new", "not", "operator",
                "or", "private", "protected", "public", "register", "return", "short", "signed", "sizeof", "static",
                "struct", "switch", "template", "this", "throw", "true", "try", "typedef", "union", "unsigned",
                "using", "virtual", "void", "volatile", "while"}  # fmt: skip


class Failure(Exception):
    pass


# --- names -------------------------------------------------------------------------


def cpp_name(python_name: str) -> str:
    """The C++ name of a body: the Python name without its leading and trailing underscores."""
    name = python_name.strip("_")
    if not name or name in CPP_KEYWORDS:
        raise Failure(f"{python_name}: no C++ name can be made of it")
    return name


def snake(class_name: str) -> str:
    return re.sub(r"(?<!^)(?=[A-Z])", "_", class_name).lower()


# --- C++ ---------------------------------------------------------------------------


def cpp_string(text: str) -> str:
    """A C++ literal of `text`: plain for a plain line, raw for lines of text, escaped otherwise."""
    if all(0x20 <= ord(c) < 0x7F and c not in '"\\' for c in text):
        return f'"{text}"'
    if ')doc"' not in text and not any(ord(c) < 0x20 and c != "\n" for c in text):
        return f'R"doc({text})doc"'
    escaped = []
    for byte in text.encode():
        char = chr(byte)
        if char in '"\\':
            escaped.append("\\" + char)
        elif char == "\n":
            escaped.append("\\n")
        elif 0x20 <= byte < 0x7F:
            escaped.append(char)
        else:
            escaped.append(f"\\{byte:03o}")
    return '"' + "".join(escaped) + '"'


def code_objects(code: CodeType) -> Iterator[CodeType]:
    for constant in code.co_consts:
        if isinstance(constant, CodeType):
            yield constant
            yield from code_objects(constant)


def local_names(source: str, filename: str) -> dict[tuple[str, int], tuple[str, ...]]:
    """The co_varnames after the parameters of each function, by qualified name and first line."""
    found = {}
    for code in code_objects(compile(source, filename, "exec", dont_inherit=True)):
        nparams = code.co_argcount + code.co_kwonlyargcount + bool(code.co_flags & 0x04)
        found[code.co_qualname, code.co_firstlineno] = code.co_varnames[nparams:]
    return found


def async_with_count(function: Function) -> int:
    return sum(isinstance(node, ast.AsyncWith) for node in ast.walk(function.node))


def param_entry(function: Function, parameter: Parameter) -> str:
    fields = [f'.name = "{parameter.name}"']
    if parameter.annotation is not None:
        fields.append(f".annotation = {cpp_string(parameter.annotation)}")
    default = parameter.default
    if default is not None:
        value = default.value
        fields.append(
            ".default_value = frame::Default::none()"
            if value is None
            else f".default_value = frame::Default::string({cpp_string(str(value))})"
        )
    if parameter.line != function.line:
        fields.append(f".line = {parameter.line}")
    if parameter.check != declarations.ANY:
        fields.append(f".check = frame::Check::{CHECKS[parameter.check]}")
    return "{" + ", ".join(fields) + "}"


def function_table(function: Function, local: tuple[str, ...]) -> tuple[list[str], list[str]]:
    """The slots (async functions only) and the FunctionDef of one function."""
    name = cpp_name(function.name)
    slots: list[str] = []
    lines = [
        f"const frame::FunctionDef {name}_def{{",
        f'    .name = "{function.name}",',
        f"    .line = {function.line},",
    ]
    params = [param_entry(function, p) for p in function.parameters]
    if len(params) <= 1:
        lines.append("    .params = {" + ", ".join(params) + "},")
    else:
        lines += ["    .params =", "        {", *(f"            {p}," for p in params), "        },"]
    if function.returns is not None:
        lines.append(f"    .returns = {cpp_string(function.returns)},")
    if function.result_check != declarations.ANY:
        lines.append(f"    .result = frame::Check::{CHECKS[function.result_check]},")
    if function.doc is not None:
        lines.append(f"    .doc = {cpp_string(function.doc)},")
    lines.append(f"    .{'async_body' if function.is_async else 'body'} = {name},")
    if function.varargs:
        lines.append("    .varargs = true,")
    if function.is_async:
        names = [p.name for p in function.parameters] + list(local)
        if any(n.endswith("_") for n in names):
            raise Failure(f"{function.qualname}: a name ending in _ is taken for the frame's own slots")
        # One frame slot per `async with`, after the Python names.
        names += ["with_" if i == 0 else f"with{i + 1}_" for i in range(async_with_count(function))]
        slots.append(f"FRAME_SLOTS({name}_slots, {', '.join(names)});")
        lines.append(f"    .slots = {name}_slots::names,")
    elif local:
        lines.append("    .locals = {" + ", ".join(f'"{n}"' for n in local) + "},")
    lines.append("};")
    return slots, lines


def header(dotted: str, source_path: Path, source: str) -> str:
    module = declarations.read(source, str(source_path))
    locals_of = local_names(source, str(source_path))
    short = dotted.rpartition(".")[2]
    names = [cpp_name(f.name) for f in module.functions()]
    if len(set(names)) != len(names):
        raise Failure(f"{source_path}: two functions would have the same C++ body name")
    forward = []
    slots: list[str] = []
    tables: list[str] = []
    for function in module.functions():
        name = cpp_name(function.name)
        if function.is_async:
            forward.append(f"frame::Task {name}(frame::CoroutineCall& c);")
        else:
            forward.append(f"frame::Ref {name}(frame::Call& c);")
        function_slots, table = function_table(function, locals_of[function.qualname, function.line])
        slots += function_slots
        tables += table + [""]
    for cls in module.classes():
        forward.append(f"void {snake(cls.name)}_body(frame::ClassBody& cb);")
        tables += [
            f"const frame::ClassDef {snake(cls.name)}_class{{",
            f'    .name = "{cls.name}",',
            f"    .line = {cls.line},",
            "    .bases = {" + ", ".join(f'"{b}"' for b in cls.bases) + "},",
            f"    .doc = {cpp_string(cls.doc) if cls.doc is not None else 'nullptr'},",
            f"    .body = {snake(cls.name)}_body,",
            "};",
            "",
        ]
    forward.append("void body(frame::ModuleBody& m);")
    doc = cpp_string(module.doc) if module.doc is not None else "nullptr"
    tables.append(f'const frame::ModuleDef {cpp_name(short)}{{"{dotted}", {doc}, body}};')
    return "\n".join(
        [
            "// " + GENERATED.format(source=source_path.name),
            f"// The declarations of {dotted}, read from its Python; {short}.cpp",
            "// defines the bodies declared first, and includes this after the frame.",
            "namespace {",
            "",
            *forward,
            "",
            *slots,
            *([""] if slots else []),
            *tables,
            "",
            "}  // namespace",
            "",
            f"FRAME_MODULE({short}, {cpp_name(short)})",
            "",
        ]
    )


# --- the stub ----------------------------------------------------------------------


class FullGenerics(ast.NodeTransformer):
    """Writes a bare `Callable` out as what it means, `Callable[..., Any]`, as
    strict type checking asks of a stub."""

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        node.slice = self.visit(node.slice)
        return node

    def visit_Name(self, node: ast.Name) -> ast.AST:
        if node.id != "Callable":
            return node
        arguments = ast.Tuple([ast.Constant(...), ast.Name("Any", ast.Load())], ast.Load())
        return ast.Subscript(node, arguments, ast.Load())


class Stub:
    """The typing stub of one module, from its Python."""

    def __init__(self, source: str, filename: str) -> None:
        self.source = source
        self.filename = filename
        self.module = declarations.read(source, filename)
        self.lines: list[str] = []

    def segment(self, node: ast.AST) -> str:
        text = ast.get_source_segment(self.source, node)
        assert text is not None
        return text

    def annotation(self, node: ast.expr | None) -> str | None:
        if node is None:
            return None
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            node = ast.parse(node.value, mode="eval").body  # a stub needs no quotes for a name defined later
        return ast.unparse(FullGenerics().visit(copy.deepcopy(node)))

    def fail(self, node: ast.AST, message: str) -> Failure:
        return Failure(f"{self.filename}:{getattr(node, 'lineno', 0)}: {message}")

    def docstring(self, body: list[ast.stmt], indent: str) -> list[str]:
        """The docstring of a body as written, quotes included."""
        return [] if declarations.raw_docstring(body) is None else [indent + self.segment(body[0])]

    def write(self) -> str:
        tree = self.module.tree
        self.lines = ["# " + GENERATED.format(source=Path(self.filename).name), *self.docstring(tree.body, "")]
        declared: set[str] = set()
        previous_end = None
        definitions = iter(self.module.definitions)
        for statement in tree.body:
            if previous_end is not None and statement.lineno > previous_end + 1 and self.lines[-1] != "":
                self.lines.append("")
            previous_end = statement.end_lineno
            if isinstance(statement, (ast.Import, ast.ImportFrom)):
                self.imports(statement, declared)
            elif isinstance(statement, ast.If) and self.segment(statement.test) == "TYPE_CHECKING":
                self.lines.append(self.segment(statement))
            elif isinstance(statement, ast.Try):
                self.optional_imports(statement, declared)
            elif isinstance(statement, ast.Assign):
                self.assignment(statement, declared)
            elif isinstance(statement, ast.ClassDef):
                self.class_stub(next(definitions))
            elif isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if not statement.name.startswith("_"):
                    self.function_stub(next(definitions), "")
            elif not (isinstance(statement, ast.Expr) and statement is tree.body[0]):
                raise self.fail(statement, "no stub can be made of this module-level statement")
        while self.lines[-1] == "":
            self.lines.pop()
        self.lines += ["", "__test__: dict[str, str]", ""]
        return "\n".join(self.lines)

    def imports(self, statement: ast.Import | ast.ImportFrom, declared: set[str]) -> None:
        # Every name the module binds is part of it: each is re-exported.
        for alias in statement.names:
            bound = alias.asname or alias.name
            if "." in alias.name and alias.asname is None:
                raise self.fail(statement, "import the module under a name of its own")
            declared.add(bound)
            if isinstance(statement, ast.Import):
                self.lines.append(f"import {alias.name} as {bound}")
            else:
                origin = "." * statement.level + (statement.module or "")
                self.lines.append(f"from {origin} import {alias.name} as {bound}")

    def optional_imports(self, statement: ast.Try, declared: set[str]) -> None:
        """try: <imports and assignments> except ...: <assignments>: each name once, typed by its first value."""
        for part in [statement.body, *(handler.body for handler in statement.handlers)]:
            for inner in part:
                if isinstance(inner, (ast.Import, ast.ImportFrom)):
                    self.imports(inner, declared)
                elif isinstance(inner, ast.Assign):
                    self.assignment(inner, declared)
                else:
                    raise self.fail(inner, "no stub can be made of this statement")

    def assignment(self, statement: ast.Assign, declared: set[str]) -> None:
        if len(statement.targets) != 1 or not isinstance(statement.targets[0], ast.Name):
            raise self.fail(statement, "only assignments to one name can be stubbed")
        name = statement.targets[0].id
        if name in declared:
            return
        declared.add(name)
        value = statement.value
        if isinstance(value, ast.Call) and self.segment(value.func) == "logging.getLogger":
            self.lines.append(f"{name}: logging.Logger")
        elif isinstance(value, ast.Name):
            self.lines.append(f"{name} = {value.id}")
        elif isinstance(value, ast.Constant) and value.value is not None:
            self.lines.append(f"{name}: {type(value.value).__name__}")
        else:
            raise self.fail(statement, f"the type of {name} cannot be told from its value")

    def class_stub(self, cls: Class) -> None:
        bases = f"({', '.join(cls.bases)})" if cls.bases else ""
        if self.lines[-1] != "":
            self.lines.append("")
        self.lines.append(f"class {cls.name}{bases}:")
        self.lines += self.docstring(cls.node.body, "    ")
        members: list[str] = []
        for statement in cls.node.body:
            if isinstance(statement, ast.AnnAssign):
                members.append("    " + self.segment(statement))
        for function in cls.functions:
            if function.name == "__init__":
                members += self.instance_attributes(function)
        if members:
            self.lines += ["", *members]
        for function in cls.functions:
            self.lines.append("")
            self.function_stub(function, "    ")

    def instance_attributes(self, init: Function) -> list[str]:
        """`self.name = parameter` in __init__, typed by the parameter's annotation."""
        annotations = {p.name: self.annotation(p_node.annotation) for p, p_node in self.parameter_nodes(init)}
        found = []
        for node in ast.walk(init.node):
            if isinstance(node, ast.Assign) and len(node.targets) == 1:
                target = node.targets[0]
                if (
                    isinstance(target, ast.Attribute)
                    and isinstance(target.value, ast.Name)
                    and target.value.id == "self"
                ):
                    if not (isinstance(node.value, ast.Name) and annotations.get(node.value.id)):
                        raise self.fail(node, f"the type of self.{target.attr} cannot be told from its value")
                    found.append(f"    {target.attr}: {annotations[node.value.id]}")
        return found

    @staticmethod
    def parameter_nodes(function: Function) -> list[tuple[Parameter, ast.arg]]:
        arguments = function.node.args
        nodes = list(arguments.args) + ([arguments.vararg] if arguments.vararg else [])
        return list(zip(function.parameters, nodes, strict=True))

    def function_stub(self, function: Function, indent: str) -> None:
        parts = []
        for parameter, node in self.parameter_nodes(function):
            text = ("*" if parameter.varargs else "") + parameter.name
            annotation = self.annotation(node.annotation)
            if annotation is not None:
                text += f": {annotation}"
            if parameter.default is not None:
                text += f" = {self.segment(parameter.default)}"
            parts.append(text)
        keyword_ = "async def" if function.is_async else "def"
        returns = self.annotation(function.node.returns)
        tail = f") -> {returns}:" if returns is not None else "):"
        for decorator in function.node.decorator_list:
            if self.segment(decorator) in ("classmethod", "staticmethod", "property"):
                self.lines.append(f"{indent}@{self.segment(decorator)}")
        line = f"{indent}{keyword_} {function.name}({', '.join(parts)}{tail}"
        if len(line) <= 120:
            self.lines.append(line)
        else:
            self.lines.append(f"{indent}{keyword_} {function.name}(")
            self.lines += [f"{indent}    {part}," for part in parts]
            self.lines.append(f"{indent}{tail}")
        self.lines += self.docstring(function.node.body, indent + "    ") or [f"{indent}    ..."]


# --- at(N) -------------------------------------------------------------------------

DEFINITION = re.compile(r"^(?:[\w:<>]+ )+(\w+)\(([^)]*)\)\s*(?:noexcept\s*)?\{", re.M)
AT = re.compile(r"\bat\((\d+)\)")


def blank_literals(text: str) -> str:
    """The C++ text with its comments and string literals blanked, lines kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|R"(\w*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)


def cpp_functions(text: str) -> Iterator[tuple[str, str, int, str]]:
    """(name, parameters, line, body text) of each function defined at the top of a C++ file."""
    for match in DEFINITION.finditer(text):
        depth, index = 0, match.end() - 1
        while True:
            if text[index] == "{":
                depth += 1
            elif text[index] == "}":
                depth -= 1
                if depth == 0:
                    break
            index += 1
        yield match.group(1), match.group(2), text.count("\n", 0, match.start()) + 1, text[match.start() : index]


def statement_lines(statements: list[ast.stmt], skip_docstring: bool) -> set[int]:
    lines: set[int] = set()
    for i, statement in enumerate(statements):
        if skip_docstring and i == 0 and isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Constant):
            continue
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            # The statement itself belongs here (its decorators are evaluated
            # here), its body elsewhere.
            lines.update(range(statement.decorator_list[0].lineno if statement.decorator_list else statement.lineno,
                               statement.lineno + 1))  # fmt: skip
            continue
        lines.update(range(statement.lineno, (statement.end_lineno or statement.lineno) + 1))
    return lines


def check_lines(cpp_path: Path, module: Module) -> list[str]:
    """Each at(N) of a body that names no statement line of the function it stands for."""
    scopes = {cpp_name(f.name): (f.qualname, statement_lines(f.node.body, True)) for f in module.functions()}
    for cls in module.classes():
        scopes[f"{snake(cls.name)}_body"] = (f"class {cls.name}", statement_lines(cls.node.body, True))
    module_scope = ("module body", statement_lines(module.tree.body, True))
    text = blank_literals(cpp_path.read_text())
    problems = []
    covered = 0
    for name, parameters, line, body in cpp_functions(text):
        scope = module_scope if "ModuleBody&" in parameters else scopes.get(name)
        for match in AT.finditer(body):
            at_line = line + body.count("\n", 0, match.start())
            if scope is None:
                problems.append(f"{cpp_path}:{at_line}: at({match.group(1)}) in {name}, which stands for no function")
            elif int(match.group(1)) not in scope[1]:
                problems.append(f"{cpp_path}:{at_line}: at({match.group(1)}) names no statement line of {scope[0]}")
        covered += len(AT.findall(body))
    if covered != len(AT.findall(text)):
        problems.append(f"{cpp_path}: at(N) outside any function")
    return problems


# --- the run -----------------------------------------------------------------------


def core_modules() -> list[tuple[str, Path]]:
    """(dotted name, path without suffix) of each core module; the package's list must match the C++ sources."""
    listed = sorted(f"velquor_ai.{name}" for name in mode.CORE_MODULES)
    found = sorted(".".join(path.relative_to(ROOT).with_suffix("").parts) for path in PACKAGE.rglob("*.cpp"))
    if listed != found:
        raise Failure(f"velquor_ai/_mode.py lists {listed}, the C++ sources are {found}")
    return [(dotted, ROOT.joinpath(*dotted.split("."))) for dotted in listed]


def outputs() -> tuple[dict[Path, str], list[str]]:
    wanted: dict[Path, str] = {}
    problems: list[str] = []
    for dotted, base in core_modules():
        source_path = base.with_suffix(".py")
        source = source_path.read_text()
        wanted[base.with_name(base.name + ".declarations.hpp")] = header(dotted, source_path, source)
        wanted[base.with_suffix(".pyi")] = Stub(source, str(source_path)).write()
        problems += check_lines(base.with_suffix(".cpp"), declarations.read(source, str(source_path)))
    return wanted, problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="write nothing; fail if anything is stale")
    options = parser.parse_args(argv)
    if sys.version_info[:2] != (3, 13):
        print("tools/declarations.py: needs CPython 3.13", file=sys.stderr)
        return 2
    try:
        wanted, problems = outputs()
    except (Failure, declarations.DeclarationError) as failure:
        print(f"tools/declarations.py: {failure}", file=sys.stderr)
        return 1
    stale = []
    for path, text in wanted.items():
        current = path.read_text() if path.exists() else ""
        if current == text:
            continue
        relative = path.relative_to(ROOT)
        if options.check:
            stale.append(str(relative))
            sys.stdout.writelines(
                difflib.unified_diff(
                    current.splitlines(True),
                    text.splitlines(True),
                    f"{relative} (committed)",
                    f"{relative} (from the Python)",
                )  # fmt: skip
            )
        else:
            path.write_text(text)
            print(f"tools/declarations.py: wrote {relative}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if stale:
        print(f"tools/declarations.py: stale, run it (or make install) and commit: {', '.join(stale)}", file=sys.stderr)
    return 1 if stale or problems else 0


if __name__ == "__main__":
    sys.exit(main())
