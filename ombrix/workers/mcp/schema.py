"""A tool script's function as an MCP tool: its input schema and description,
read from the source with `ast` (the script is never imported or run in the
server), and the check of call arguments against that schema."""
from __future__ import annotations

import ast
import re
from dataclasses import dataclass
from typing import Any

NAME = re.compile(r"[a-z][a-z0-9_]{0,63}")

JSON = dict[str, Any]

_SCALARS: dict[str, JSON] = {
    "int": {"type": "integer"},
    "float": {"type": "number"},
    "str": {"type": "string"},
    "bool": {"type": "boolean"},
    "list": {"type": "array"},
    "dict": {"type": "object"},
}


class ToolSourceError(ValueError):
    """The source cannot become a tool; the message says why."""


@dataclass(frozen=True)
class ToolShape:
    """What the MCP side announces of a tool function."""

    input_schema: JSON
    docstring: str | None


def annotation_schema(node: ast.expr | None) -> JSON:
    """The JSON schema of one annotation: the basic types and their
    `list[...]`/`dict[str, ...]` forms; anything else accepts any value."""
    if node is None:
        return {}
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        try:  # a quoted annotation, as `from __future__ import annotations` leaves all of them
            return annotation_schema(ast.parse(node.value, mode="eval").body)
        except SyntaxError:
            return {}
    if isinstance(node, ast.Name) and node.id in _SCALARS:
        return dict(_SCALARS[node.id])
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name):
        if node.value.id == "list":
            return {"type": "array", "items": annotation_schema(node.slice)}
        if node.value.id == "dict" and isinstance(node.slice, ast.Tuple) and len(node.slice.elts) == 2:
            key, value = node.slice.elts
            if isinstance(key, ast.Name) and key.id == "str":
                return {"type": "object", "additionalProperties": annotation_schema(value)}
            return {"type": "object"}
    return {}


def tool_shape(source: str, name: str) -> ToolShape:
    """The schema and docstring of the top-level function `name` in `source`,
    which must already be valid Python."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError) as exc:  # the worker's validation normally comes first
        raise ToolSourceError(f"the source does not parse: {exc}") from None
    found: ast.FunctionDef | ast.AsyncFunctionDef | None = None
    for node in tree.body:
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef) and node.name == name:
            found = node  # the last definition is the one the script leaves bound
    if found is None:
        raise ToolSourceError(f"the source defines no top-level function {name!r}")
    if isinstance(found, ast.AsyncFunctionDef):
        raise ToolSourceError(f"{name!r} is a coroutine function; a tool must be a plain function")
    args = found.args
    if args.posonlyargs:
        required = len(args.posonlyargs) + len(args.args) - len(args.defaults)
        if required > 0:
            raise ToolSourceError(f"{name!r} has positional-only parameters, which a tool call cannot pass")
    properties: JSON = {}
    required_names: list[str] = []
    positional = args.args
    first_default = len(positional) - len(args.defaults)
    pairs = [(arg, i >= first_default) for i, arg in enumerate(positional)]
    pairs += [(arg, default is not None) for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True)]
    for arg, optional in pairs:
        properties[arg.arg] = annotation_schema(arg.annotation)
        if not optional:
            required_names.append(arg.arg)
    schema: JSON = {"type": "object", "properties": properties}
    if required_names:
        schema["required"] = required_names
    if args.kwarg is None:
        schema["additionalProperties"] = False
    return ToolShape(schema, ast.get_docstring(found))


_TYPES: dict[str, tuple[type, ...]] = {
    "integer": (int,),
    "number": (int, float),
    "string": (str,),
    "boolean": (bool,),
    "array": (list,),
    "object": (dict,),
}


def schema_errors(value: object, schema: JSON, where: str = "arguments") -> list[str]:
    """Where `value` breaks `schema` (one of the schemas made above), as
    sentences; empty when it fits."""
    kind = schema.get("type")
    if kind is not None:
        types = _TYPES[kind]
        if not isinstance(value, types) or (kind != "boolean" and isinstance(value, bool)):
            return [f"{where} must be {'an' if kind[0] in 'aeiou' else 'a'} {kind}, not {_json_type(value)}"]
    errors: list[str] = []
    if isinstance(value, list) and "items" in schema:
        for i, item in enumerate(value):
            errors += schema_errors(item, schema["items"], f"{where}[{i}]")
    if isinstance(value, dict):
        properties: JSON = schema.get("properties", {})
        errors += [f"{where} lack the required {key!r}" if where == "arguments" else f"{where} lacks {key!r}"
                   for key in schema.get("required", ()) if key not in value]
        extra = schema.get("additionalProperties", True)
        for key, item in value.items():
            if key in properties:
                errors += schema_errors(item, properties[key], f"{key!r}" if where == "arguments" else f"{where}.{key}")
            elif extra is False:
                errors.append(f"unknown argument {key!r}" if where == "arguments" else f"{where} has unknown {key!r}")
            elif isinstance(extra, dict):
                errors += schema_errors(item, extra, f"{where}[{key!r}]")
    return errors


def _json_type(value: object) -> str:
    for name, types in _TYPES.items():
        if isinstance(value, types) and not (name in ("integer", "number") and isinstance(value, bool)):
            return name
    return "null" if value is None else type(value).__name__
