"""The package's version: from the installed distribution's metadata, or, for a source tree run
in place (PYTHONPATH=python), from its pyproject.toml; a copy of the package outside both (a
test build's copy) reports the installed distribution's version."""

from __future__ import annotations

import re
from importlib import metadata
from pathlib import Path

_HERE = Path(__file__).resolve().parent


def _installed(only_this_copy: bool) -> str | None:
    """The version of the installed distribution (if `only_this_copy`, only where this copy is
    the one it installed)."""
    try:
        dist = metadata.distribution("vashlet")
    except metadata.PackageNotFoundError:
        return None
    if only_this_copy and Path(str(dist.locate_file("vashlet"))).resolve() != _HERE:
        return None  # another copy is installed; this one may run from a source tree
    return dist.version


def _in_tree() -> str | None:
    try:
        text = (_HERE.parent.parent / "pyproject.toml").read_text(encoding="utf-8")
    except OSError:
        return None
    found = re.search(r'^version\s*=\s*"([^"]+)"', text, re.MULTILINE)
    return found.group(1) if found else None


version = _installed(True) or _in_tree() or _installed(False) or "0+unknown"
