"""The host side's rooms import downwards only: inside < launchers < pool < cluster < mcp."""
import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "ombrix" / "workers"
ROOMS = ["inside", "launchers", "pool", "cluster", "mcp"]


def imported_rooms(path):
    """The rooms a module imports, lazily or not (absolute and relative)."""
    for node in ast.walk(ast.parse(path.read_text())):
        names = []
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0:
                names = [node.module or ""]
            else:  # relative to the module's own package
                package = path.parent.relative_to(PACKAGE.parents[1]).parts
                base = package[: len(package) - node.level + 1]
                names = [".".join([*base, node.module or ""])]
        for name in names:
            parts = name.split(".")
            if parts[:2] == ["ombrix", "workers"] and len(parts) > 2 and parts[2] in ROOMS:
                yield parts[2]


@pytest.mark.parametrize("room", ROOMS)
def test_rooms_import_only_lower_rooms(room):
    higher = {
        f"{path.name} imports {other}"
        for path in (PACKAGE / room).glob("*.py")
        for other in imported_rooms(path)
        if ROOMS.index(other) > ROOMS.index(room)
    }
    assert not higher
