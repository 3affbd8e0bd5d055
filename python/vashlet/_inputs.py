"""What every entry point takes alike: the pattern, made a `Pattern` one way, and the columns of
the events with what the timestamps count, checked once."""

from __future__ import annotations

import sys
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Union

from vashlet import _core
from vashlet._core import Pattern, PatternBuilder, parse_pattern
from vashlet._warnings import warn_from_caller

PatternLike = Union[str, Pattern, PatternBuilder]

# The `mode` keyword's words and the consumption each gives the pattern.
MODES = {"first": "FirstSuccessorPerStart", "all": "ExhaustivePerStart", "non_overlapping": "NonOverlapping"}

TS_UNITS = ("s", "ms", "us", "ns")


def as_pattern(pattern: PatternLike) -> Pattern:
    """The pattern of `pattern`: text is read (see read_text), a builder built."""
    if isinstance(pattern, str):
        return read_text(pattern)
    if isinstance(pattern, PatternBuilder):
        return pattern.build()
    if isinstance(pattern, Pattern):
        return pattern
    raise TypeError("expected a Pattern, a pattern builder, or the result of parse_pattern()")


def with_mode(pattern: Pattern, mode: str | None, exhaustive: object = False) -> Pattern:
    """`pattern` matched in `mode` ("first", "all" or "non_overlapping"); None keeps its own
    consumption (widened by ``exhaustive=True``, as before). ``exhaustive=True`` is
    ``mode="all"``, so any other mode beside it is refused."""
    if mode is None:
        return pattern
    if not isinstance(mode, str):
        raise TypeError(f"argument 'mode': must be a str or None, not '{type(mode).__qualname__}'")
    if mode not in MODES:
        choices = ", ".join(repr(word) for word in MODES)
        raise ValueError(f"mode must be one of {choices}, not {mode!r}")
    if exhaustive and mode != "all":
        raise ValueError(
            f"exhaustive=True and mode={mode!r} disagree: exhaustive=True means mode='all'; "
            "give only one of them"
        )
    return pattern._with_consumption(MODES[mode])


def read_text(text: str) -> Pattern:
    """The pattern a text given to match, explain, funnel, the command line, Spark or Dask
    means: the one-line reading where there is one (with a warning where the pattern language
    reads the text otherwise), else the language's. Where neither reads it, the one-line error
    is raised as it always was, with the language's diagnosis as a note."""
    try:
        one_line = parse_pattern(text)
    except ValueError as error:
        if type(error) is not ValueError:  # a text Python cannot encode: no reading can help
            raise
        failure = error
    else:
        try:
            language = _core.pattern(text)
        except ValueError:
            return one_line
        # to_text reads back equal, so equal texts are equal patterns.
        if language.to_text() != one_line.to_text():
            types = ", ".join(repr(name) for name in one_line.types)
            warn_from_caller([
                f"{text!r} is read in the one-line notation (event types {types}), which "
                "differs from its reading in the pattern language: call vashlet.pattern(text) "
                "to mean the language"
            ])
        return one_line
    try:
        return _core.pattern(text)
    except ValueError as diagnosis:
        note = f"the pattern language cannot read it either: {diagnosis}"
    add_note(failure, note)
    raise failure


def add_note(error: BaseException, note: str) -> None:
    """PEP 678: `add_note` where the interpreter has it (3.11), else the `__notes__` it reads."""
    if sys.version_info >= (3, 11):
        error.add_note(note)
    else:
        error.__notes__ = [*getattr(error, "__notes__", ()), note]  # type: ignore[attr-defined]


def is_pattern(value: object) -> bool:
    return isinstance(value, (str, Pattern, PatternBuilder))


def pattern_first(pattern: Any, data: Any, call: str) -> tuple[Any, Any]:
    """(pattern, data) of a call that once took the data first: the old order, told by the
    arguments' types, still works but warns."""
    if is_pattern(pattern) or not is_pattern(data):
        return pattern, data
    warnings.warn(
        f"{call}(df, pattern) is deprecated: pass the pattern first, {call}(pattern, df)",
        DeprecationWarning,
        stacklevel=3,
    )
    return data, pattern


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(
            f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to "
            "'PyString'"
        )
    return value


@dataclass(frozen=True)
class Columns:
    """The columns of a table of events: `partition`, `ts` and `type` name the key columns, `id`
    (optional) a column naming each row, and `ts_unit` what an integer `ts` column counts."""

    partition: str = "partition"
    ts: str = "ts"
    type: str = "type"
    id: str | None = None
    ts_unit: str | None = None

    def __post_init__(self) -> None:
        for name in ("partition", "ts", "type"):
            _text(name, getattr(self, name))
        if self.id is not None:
            _text("id", self.id)
        if self.ts_unit is not None and _text("ts_unit", self.ts_unit) not in TS_UNITS:
            units = ", ".join(repr(unit) for unit in TS_UNITS)
            raise ValueError(f"ts_unit must be one of {units}, not '{self.ts_unit}'")

    def read(
        self,
        native: Callable[..., Any],
        pattern: Pattern,
        source: object,
        *,
        exhaustive: bool = False,
        threads: int | None = None,
        max_matches: int | None = None,
        **more: Any,
    ) -> Any:
        """`native` (one of the `_core` table calls) over `source` with these columns, and the
        further arguments `more` that it alone takes."""
        return native(pattern, source, self.partition, self.ts, self.type, self.id,
                      exhaustive, threads, self.ts_unit, max_matches, **more)

    def read_of(self, pattern: Pattern) -> set[str]:
        """The names of the columns a read of `pattern` takes: the key columns and the
        attributes the pattern reads."""
        names = {self.partition, self.ts, self.type, *pattern.attributes}
        if self.id is not None:
            names.add(self.id)
        return names
