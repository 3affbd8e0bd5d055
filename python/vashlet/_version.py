"""The package's version: from the installed distribution's metadata, or, for a source tree run
in place (PYTHONPATH=python), from its pyproject.toml."""

from __future__ import annotations

import re
from importlib import metadata
from pathlib import Path

_HERE = Path(__file__).resolve().parent


def _installed() -> str | None:
    """The version of the installed distribution, if this copy is the one it installed."""
    try:
        dist = metadata.distribution("vashlet")
    except metadata.PackageNotFoundError:
        return None
    if Path(str(dist.locate_file("vashlet"))).resolve() != _HERE:
        return None  # another copy is installed; this one runs from a source tree
    return dist.version


def _in_tree() -> str | None:
    try:
        text = (_HERE.parent.parent / "pyproject.toml").read_text(encoding="utf-8")
    except OSError:
        return None
    found = re.search(r'^version\s*=\s*"([^"]+)"', text, re.MULTILINE)
    return found.group(1) if found else None


version = _installed() or _in_tree() or "0+unknown"
