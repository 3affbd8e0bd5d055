"""Sequential pattern matching over timestamped events, with near-miss explanations."""

from vashlet import _core
from vashlet._core import *  # noqa: F401,F403 - the public names are those of _core.__all__

__all__ = list(_core.__all__)
