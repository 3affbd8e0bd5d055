"""Writes docs/api.md, the reference of vashlet's public names, from their signatures and
docstrings as `help()` shows them: the names of each module's `__all__`, and of each class its
public methods and properties. With --check it writes nothing and fails if the page differs, so a
test keeps the page current.

    PYTHONPATH=python python scripts/api_reference.py [--check]
"""

from __future__ import annotations

import argparse
import ast
import builtins
import dataclasses
import importlib
import inspect
import sys
from pathlib import Path
from typing import Any, Iterator

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "api.md"
MODULES = ["vashlet", "vashlet.spark", "vashlet.dask"]
HEADER = (
    "# API reference\n\n"
    "<!-- Written by scripts/api_reference.py from the docstrings; edit those, then rerun it."
    " -->\n\n"
    "Every public name, with its signature and docstring. The guides: [tables](tables.md),\n"
    "[patterns](patterns.md), [time](time.md), [near misses](near-misses.md),\n"
    "[events](events.md), [scaling out](scaling-out.md).\n"
)


def stub_signatures() -> dict[str, inspect.Signature]:
    """Signatures of the native module's names from its stub (`Class.method` or `name`), for
    builtins that carry none of their own; the annotations stay text."""
    path = ROOT / "python" / "vashlet" / "_core.pyi"
    found: dict[str, inspect.Signature] = {}

    def visit(nodes: list[ast.stmt], prefix: str) -> None:
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                visit(node.body, f"{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                stub = ast.FunctionDef(name="f", args=node.args, body=[ast.Pass()],
                                       decorator_list=[], returns=node.returns, type_params=[])
                source = "from __future__ import annotations\n" + ast.unparse(
                    ast.fix_missing_locations(ast.Module(body=[stub], type_ignores=[])))
                space: dict[str, Any] = {}
                exec(source, space)
                found[prefix + node.name] = inspect.signature(space["f"], eval_str=False)

    if path.exists():
        visit(ast.parse(path.read_text(encoding="utf-8")).body, "")
    return found


STUBS = stub_signatures()


def annotation(value: Any) -> str:
    return value if isinstance(value, str) else inspect.formatannotation(value)


def signature(obj: Any, stub_name: str) -> str:
    """The signature as written in the source (annotations unevaluated), or from the stub."""
    if stub_name in STUBS and not hasattr(obj, "__code__"):
        found = STUBS[stub_name]  # a builtin: the stub's signature has the annotations
    else:
        try:
            found = inspect.signature(obj, eval_str=False)
        except (TypeError, ValueError):
            return "(...)"
    return formatted(found)


def formatted(found: inspect.Signature, returns: bool = True) -> str:
    parts, star_done = [], False
    for parameter in found.parameters.values():
        if parameter.name in ("self", "cls"):
            continue
        text = parameter.name
        if parameter.kind is parameter.KEYWORD_ONLY and not star_done:
            parts.append("*")
            star_done = True
        if parameter.kind is parameter.VAR_POSITIONAL:
            text, star_done = "*" + text, True
        if parameter.kind is parameter.VAR_KEYWORD:
            text = "**" + text
        if parameter.annotation is not parameter.empty:
            text += f": {annotation(parameter.annotation)}"
        if parameter.default is not parameter.empty:
            joiner = " = " if parameter.annotation is not parameter.empty else "="
            text += f"{joiner}{parameter.default!r}"
        parts.append(text)
    result = found.return_annotation
    tail = "" if result is found.empty or not returns else f" -> {annotation(result)}"
    return f"({', '.join(parts)}){tail}"


def docstring(obj: Any) -> str:
    """The docstring as markdown: doctest examples in pycon blocks, the rest as it is."""
    if isinstance(obj, property):
        text = inspect.cleandoc(obj.__doc__ or "")
    else:
        text = inspect.getdoc(obj)
    if not text:
        return ""
    out, example = [], False
    for line in text.splitlines():
        starts = line.startswith(">>> ")
        if starts and not example:
            out.append("```pycon")
            example = True
        elif example and not line.strip():
            out.append("```")
            example = False
        out.append(line)
    if example:
        out.append("```")
    return "\n".join(out).strip() + "\n"


def members(cls: type) -> Iterator[tuple[str, Any]]:
    """Public methods and properties, the class's own first, then those it inherits from
    vashlet's own classes."""
    seen = set()
    for owner in cls.__mro__:
        if getattr(builtins, owner.__name__, None) is owner:  # object, BaseException
            continue
        for name, value in vars(owner).items():
            if name.startswith("_") or name in seen:
                continue
            seen.add(name)
            if dataclasses.is_dataclass(cls) and name in {f.name for f in dataclasses.fields(cls)}:
                continue
            if isinstance(value, (staticmethod, classmethod)):
                value = value.__func__
            if callable(value) or isinstance(value, property) or inspect.isdatadescriptor(value):
                yield name, value


def describe_class(module: str, name: str, cls: type) -> list[str]:
    lines = [f"### class `{module}.{name}`\n"]
    if dataclasses.is_dataclass(cls):
        fields = ", ".join(f"{f.name}: {annotation(f.type)}" for f in dataclasses.fields(cls)
                           if not f.name.startswith("_"))
        lines.append(f"`{name}({fields})`\n")
    elif f"{name}.__new__" in STUBS:
        lines.append(f"`{name}{formatted(STUBS[f'{name}.__new__'], returns=False)}`\n")
    elif inspect.isfunction(vars(cls).get("__init__")):
        init = inspect.signature(cls.__init__, eval_str=False)  # type: ignore[misc]
        lines.append(f"`{name}{formatted(init, returns=False)}`\n")
    if doc := docstring(cls):
        lines.append(doc)
    for member, value in members(cls):
        if isinstance(value, property) or inspect.isdatadescriptor(value):
            getter = value.fget if isinstance(value, property) else None
            kind = ""
            if getter is not None and "return" in getattr(getter, "__annotations__", {}):
                kind = f": {annotation(getter.__annotations__['return'])}"
            elif f"{name}.{member}" in STUBS:
                kind = f": {annotation(STUBS[f'{name}.{member}'].return_annotation)}"
            lines.append(f"#### `{name}.{member}{kind}` (property)\n")
        else:
            lines.append(f"#### `{name}.{member}{signature(value, f'{name}.{member}')}`\n")
        if doc := docstring(value):
            lines.append(doc)
    return lines


def page() -> str:
    lines = [HEADER]
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        lines.append(f"## `{module_name}`\n")
        summary = (inspect.getdoc(module) or "").split("\n\n")[0]
        lines.append(summary.replace("\n", " ") + "\n")
        for name in module.__all__:
            obj = getattr(module, name)
            if inspect.isclass(obj):
                lines += describe_class(module_name, name, obj)
            elif not callable(obj):  # a constant such as __version__: its type, not its value
                lines.append(f"### `{module_name}.{name}: {type(obj).__name__}`\n")
            else:
                lines.append(f"### `{module_name}.{name}{signature(obj, name)}`\n")
                if doc := docstring(obj):
                    lines.append(doc)
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="fail if docs/api.md differs from what would be written")
    text = page()
    if parser.parse_args().check:
        current = PAGE.read_text(encoding="utf-8") if PAGE.exists() else ""
        if current != text:
            print(f"{PAGE.relative_to(ROOT)} is stale: run python scripts/api_reference.py")
            return 1
        return 0
    PAGE.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
