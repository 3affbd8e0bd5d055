"""Sequential pattern matching over timestamped events, with near-miss explanations."""

from vashlet import _core
from vashlet._core import *  # noqa: F401,F403 - the native names are those of _core.__all__
from vashlet._core import ANY, PanicException, release_memory
from vashlet._funnel import Funnel, FunnelStep, StopReason, funnel
from vashlet._stream import Stream, StreamBatch
from vashlet._tables import MatchTable, NearMissTable, explain, match
from vashlet._version import version as __version__

__all__ = list(_core.__all__) + [
    "match",
    "explain",
    "MatchTable",
    "NearMissTable",
    "Stream",
    "StreamBatch",
    "funnel",
    "Funnel",
    "FunnelStep",
    "StopReason",
    "PanicException",
    "release_memory",
    "ANY",
]
