"""Warnings about a call's pattern, attributed to the caller's line outside this package, so that
a warning names the user's code (and `funnel`, a call on top of others, warns once)."""

from __future__ import annotations

import os
import sys
import warnings
from typing import Iterable

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn_from_caller(messages: Iterable[str]) -> None:
    """One UserWarning per message, at the first frame outside the package."""
    level, frame = 2, sys._getframe(1)
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        level, frame = level + 1, frame.f_back
    for message in messages:
        warnings.warn(message, UserWarning, stacklevel=level)
