"""The created tools: their scripts stored in one directory (`NAME.py`, with
`NAME.json` holding a description given at creation), loaded at start, and
checked before anything is stored."""
from __future__ import annotations

import json
import logging
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

from .schema import JSON, NAME, ToolSourceError, tool_shape

log = logging.getLogger("ombrix.workers.mcp")


@dataclass(frozen=True)
class CreatedTool:
    name: str
    path: Path
    description: str
    input_schema: JSON


def default_tools_dir() -> Path:
    """A directory of the user's data dir ($XDG_DATA_HOME, else ~/.local/share)."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return Path(base) / "ombrix" / "mcp-tools"


def check_name(name: object, taken: frozenset[str]) -> str:
    """`name` if it may name a created tool; ValueError saying why not."""
    if not isinstance(name, str) or not NAME.fullmatch(name):
        raise ValueError(f"a tool name is a lowercase letter then up to 63 of a-z, 0-9 and _, not {name!r}")
    if name in taken:
        raise ValueError(f"{name!r} is a built-in tool; choose another name")
    return name


class ToolStore:
    """The tools in `directory`, kept in memory as announced."""

    def __init__(self, directory: Path, builtin: frozenset[str]) -> None:
        self.directory = directory
        self.builtin = builtin
        self.tools: dict[str, CreatedTool] = {}
        directory.mkdir(parents=True, exist_ok=True)
        for path in sorted(directory.glob("*.py")):
            name = path.stem
            try:
                check_name(name, builtin)
                if not path.is_file():  # a FIFO or device would hang or flood the start
                    raise ValueError("not a regular file")
                self.tools[name] = self._shape(name, path.read_text(encoding="utf-8"), self._saved_description(name))
            except (OSError, UnicodeDecodeError, ValueError) as exc:
                log.warning("ombrix-mcp: not loading the tool script %s: %s", path, exc)

    def _saved_description(self, name: str) -> str | None:
        try:
            saved = json.loads((self.directory / f"{name}.json").read_text(encoding="utf-8"))
        except FileNotFoundError:
            return None
        description = saved.get("description") if isinstance(saved, dict) else None
        return description if isinstance(description, str) else None

    def _shape(self, name: str, source: str, description: str | None) -> CreatedTool:
        shape = tool_shape(source, name)
        text = description if description is not None else (shape.docstring or f"The created tool {name}.")
        return CreatedTool(name, self.directory / f"{name}.py", text, shape.input_schema)

    def prepare(self, name: str, source: str, description: str | None) -> CreatedTool:
        """The tool `source` would make, without storing it (ToolSourceError
        or ValueError when it cannot be one)."""
        check_name(name, self.builtin)
        return self._shape(name, source, description)

    def store(self, tool: CreatedTool, source: str, description: str | None) -> None:
        """Write the script (and the given description) whole, then announce it
        here: a crash leaves either the old tool or the new one on disk."""
        sidecar = self.directory / f"{tool.name}.json"
        if description is not None:
            _write_whole(sidecar, json.dumps({"description": description}))
        else:
            sidecar.unlink(missing_ok=True)
        _write_whole(tool.path, source)
        self.tools[tool.name] = tool

    def delete(self, name: str) -> None:
        if name not in self.tools:
            raise KeyError(name)
        self.tools[name].path.unlink(missing_ok=True)
        (self.directory / f"{name}.json").unlink(missing_ok=True)
        del self.tools[name]


def _write_whole(path: Path, text: str) -> None:
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
        os.chmod(temporary, 0o644)  # the sandbox's user reads it
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


__all__ = ["CreatedTool", "ToolSourceError", "ToolStore", "check_name", "default_tools_dir"]
