import datetime
from typing import Any, Final, Literal, Protocol, Sequence, SupportsIndex, TypeVar, final

__all__ = [
    "Event",
    "Pattern",
    "PatternBuilder",
    "Match",
    "NearMiss",
    "parse_pattern",
    "pattern",
    "pattern_from_json",
    "sort_events",
    "match_events",
    "near_miss_events",
]

class PanicException(BaseException):
    """Raised when an internal invariant of the native code fails; derives from BaseException."""

# Attribute values arrive as these types (objects with __index__ or __float__ are read as int
# or float) and come back as exactly these types.
AttributeValue = str | int | float | bool | None
# What integer timestamps count, where a window has a unit.
TsUnit = Literal["s", "ms", "us", "ns"]

@final
class Event:
    """A single typed, timestamped event within a partition."""

    def __new__(
        cls,
        partition: str,
        ts: SupportsIndex,
        typ: str,
        attrs: dict[str, AttributeValue] | None = None,
    ) -> Event: ...
    @property
    def partition(self) -> str: ...
    @property
    def ts(self) -> int: ...
    @property
    def typ(self) -> str: ...
    @property
    def attrs(self) -> dict[str, AttributeValue]: ...

@final
class AnyEventType:
    """The type of `vashlet.ANY`, the event type every event has."""

# Wherever the builder takes an event type (`Pattern.event`, `then`, its `no`, `or_`): a step or
# an absence of any type.
ANY: Final[AnyEventType]

@final
class Pattern:
    """A compiled or parsed pattern, ready to match."""

    @staticmethod
    def event(typ: str | AnyEventType) -> PatternBuilder:
        """Start a builder for a pattern whose first step matches `typ`."""
    def to_json(self, pretty: bool = False) -> str:
        """Serialise the pattern to the stable JSON AST."""
    def to_text(self) -> str:
        """Write the pattern in the pattern language; `vashlet.pattern` reads it back equal.

        Raises `ValueError` for what the language cannot say: a consumption other than the
        default first match per start (a mode of the call), or a NaN float.

        >>> import vashlet
        >>> vashlet.parse_pattern('page view -> cart').to_text()
        '"page view" -> cart'
        """
    @property
    def steps(self) -> int:
        """The number of steps."""
    @property
    def types(self) -> tuple[str, ...]:
        """The event types the steps name, in step order, a step's branches in written order (a
        tuple of str: for a chain of single steps, the type of each step). An atom of any type
        names none."""
    @property
    def attributes(self) -> tuple[str, ...]:
        """The attribute names the pattern reads (in predicates, references and captures, of the
        steps' branches and of their absences), each once, step by step: a step's absences
        before its branches, and in an atom predicates, then references, then captures."""
    @property
    def bindings(self) -> tuple[str, ...]:
        """The binding names the steps capture (in any branch), each once, in written order."""

@final
class PatternBuilder:
    """A small fluent builder for the stable human-facing construction path.

    The text DSL remains experimental; this builder covers the common
    event-type, predicate, capture/reference, window, and absence subset used by
    the examples."""

    def where_eq(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute == value` to the current step."""
    def where_ne(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute != value` to the current step."""
    def where_gt(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute > value` to the current step."""
    def where_gte(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute >= value` to the current step."""
    def where_lt(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute < value` to the current step."""
    def where_lte(self, attribute: str, value: AttributeValue) -> PatternBuilder:
        """Add `attribute <= value` to the current step."""
    def capture(self, attribute: str, name: str) -> PatternBuilder:
        """Capture `attribute` from the current step as `$name`."""
    def where_ref_eq(self, attribute: str, name: str) -> PatternBuilder:
        """Add `attribute == $name` to the current step."""
    def then(
        self,
        typ: str | AnyEventType,
        within: SupportsIndex | datetime.timedelta | Any | None = None,
        no: str | AnyEventType | None = None,
    ) -> PatternBuilder:
        """Append a step matching `typ`, optionally at most `within` after the previous
        step and forbidding an intervening event of type `no`.

        `within` is a `datetime.timedelta` or `numpy.timedelta64` (a duration, converted to
        the unit of the data's timestamps), or an int (raw ticks of the timestamps)."""
    def or_(self, typ: str | AnyEventType) -> PatternBuilder:
        """Add a branch of type `typ` (or `vashlet.ANY`) to the latest step: an event that fails
        the earlier branches may pass this one. Later `where_*`, `capture` and `where_ref_eq`
        calls describe the new branch."""
    def times(self, n: SupportsIndex, m: SupportsIndex | float | None = None) -> PatternBuilder:
        """Take the latest step `n` times, or between `n` and `m` times (`m=math.inf`: no
        maximum). The first step is taken at least once; a capture binds at the first
        occurrence and later ones must carry the same value."""
    def optional(self) -> PatternBuilder:
        """Make the latest step optional: `times(0, 1)`. Not on the first step."""
    def one_or_more(self) -> PatternBuilder:
        """Take the latest step once or more: `times(1, math.inf)`."""
    def at_least(self, window: SupportsIndex | datetime.timedelta | Any | None) -> PatternBuilder:
        """Require the latest step's event to come at least `window` after the event before it
        (as `then`'s `within`: a duration or ticks; None for no minimum). Not on the first step."""
    def within(self, window: SupportsIndex | datetime.timedelta | Any | None) -> PatternBuilder:
        """Bound the whole match: its last event at most `window` after its first (a duration or
        ticks, as `then`'s `within`; None for no bound)."""
    def anchored(self, start: bool = True, end: bool = False) -> PatternBuilder:
        """Anchor a match at its partition's first event (`start`) and/or at its last (`end`)."""
    def build(self) -> Pattern:
        """Finalise the builder into a [`PyPattern`]."""

@final
class Match:
    """A single match, carrying its participating events and captured bindings."""

    @property
    def partition(self) -> str: ...
    @property
    def indices(self) -> list[int]: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def types(self) -> list[str]: ...
    @property
    def events(self) -> list[Event]: ...
    @property
    def captures(self) -> dict[str, AttributeValue]:
        """Captured bindings (registers) as a dict of name to value."""

@final
class NearMiss:
    """A start that did not match, with its deepest partial path and the reason."""

    @property
    def partition(self) -> str: ...
    @property
    def start_index(self) -> int: ...
    @property
    def indices(self) -> list[int]: ...
    @property
    def reached_steps(self) -> int: ...
    @property
    def next_event_type(self) -> str: ...
    @property
    def reason(self) -> str:
        """One of: predicate_failed, absence_blocked, window_exceeded, no_successor, too_few."""
    @property
    def element(self) -> int:
        """The element (step) it stopped at; equals reached_steps for a chain pattern."""
    @property
    def elements(self) -> tuple[int, ...]:
        """The element number of each matched event, for a pattern of the language; empty for a
        chain pattern."""
    @property
    def detail(self) -> dict[str, Any]:
        """Reason-specific specifics as a dict (keyed by "kind"); includes failed
        clauses, blocking events, or window counterfactuals."""
    @property
    def events(self) -> list[Event]: ...
    @property
    def captures(self) -> dict[str, AttributeValue]: ...

def parse_pattern(text: str) -> Pattern:
    """Parse the Phase 1 text subset into a [`PyPattern`]."""

def pattern(text: str) -> Pattern:
    """Read a pattern of the pattern language: repetition, optional steps, alternatives,
    steps of any type, minimum gaps, a window over the whole match and anchors.

    A bad text raises `ValueError` naming the column, with the text and a caret under
    the culprit.

    >>> import vashlet
    >>> p = vashlet.pattern('login[user as $u]{3} -[<=5m]-> (success | locked) within 1h')
    >>> p.steps
    2
    >>> p.to_text()
    'login[user as $u]{3} -[<=5m]-> (success | locked) within 1h'
    """

def pattern_from_json(json: str) -> Pattern:
    """Build a pattern from the stable JSON AST, validating its structure."""

def sort_events(events: Sequence[Event]) -> list[Event]:
    """Return a copy of `events` sorted by partition then `(timestamp, input order)`."""

def match_events(
    pattern: Pattern | PatternBuilder,
    events: Sequence[Event],
    exhaustive: bool = False,
    *,
    threads: SupportsIndex | None = None,
    ts_unit: TsUnit | None = None,
    max_matches: SupportsIndex | None = None,
) -> list[Match]:
    """Run a pattern over already-sorted events.

    Raises `ValueError` if the events are not grouped by partition and sorted by
    `(timestamp, input order)`; callers should use the high-level `match`
    wrapper or [`sort_events`] first.

    Partitions are matched on `threads` native threads (default: the usable cores;
    1 runs on the calling thread); the result does not depend on it.

    `ts_unit` ('s', 'ms', 'us' or 'ns') says what the events' integer timestamps count;
    a window with a unit (`-[<=10m]->`) needs it. A window without one is raw ticks.

    With `max_matches`, more matches than that raise `ValueError` naming the limit and the
    partition where it was passed. Exhaustive matching that would outgrow the memory the
    process may use raises `MemoryError` naming the partition and its size."""

def near_miss_events(
    pattern: Pattern | PatternBuilder,
    events: Sequence[Event],
    *,
    threads: SupportsIndex | None = None,
    ts_unit: TsUnit | None = None,
) -> list[NearMiss]:
    """Explain near-misses: starts that did not match, with their deepest partial
    path and the reason. Requires already-sorted events (see [`match_events`]).
    Partitions are analysed on `threads` native threads, and `ts_unit` says what the
    timestamps count, as in `match_events`."""

@final
class ResultTable:
    """A result table, exported through the Arrow PyCapsule interface."""
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __len__(self) -> int: ...
    def to_pylist(self, start: int | None = None, stop: int | None = None) -> list[dict[str, Any]]: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def column_formats(self) -> list[str]: ...
    @property
    def absent_types(self) -> list[str]: ...

@final
class _Stream:
    """A native stream of events; see vashlet.Stream."""
    def __new__(
        cls,
        pattern: Pattern | PatternBuilder,
        partition: str,
        ts: str,
        type: str,
        id: str | None = None,
        exhaustive: bool = False,
        threads: int | None = None,
        ts_unit: TsUnit | None = None,
        max_matches: int | None = None,
        lateness: int | str | datetime.timedelta | None = None,
        late: Literal["raise", "drop", "report"] | None = None,
        explain: bool = False,
        max_open: int | None = None,
    ) -> _Stream: ...
    def push(
        self, data: object
    ) -> tuple[ResultTable, ResultTable | None, list[int] | list[str], list[str] | None]: ...
    def flush(self) -> tuple[ResultTable, ResultTable | None, list[int] | list[str], None]: ...
    def stats(self) -> dict[str, int | bool]: ...
    def snapshot(self) -> bytes: ...
    def options(self) -> dict[str, Any]: ...
    @staticmethod
    def restore(snapshot: bytes) -> _Stream: ...

_R = TypeVar("_R", covariant=True)

class _TableCall(Protocol[_R]):
    """The package's native table calls (`_match_table`, `_explain_table`, `_funnel_table`,
    `_partition_funnel_table`, `_deepest_per_partition`, `_counted_funnel`); `more` are the
    arguments one of them alone takes (`_counted_funnel`'s `examples`, rows per group, and
    `every_row`, a table of every near miss)."""
    def __call__(
        self,
        pattern: Pattern | PatternBuilder,
        data: object,
        partition: str,
        ts: str,
        type: str,
        id: str | None = None,
        exhaustive: bool = False,
        threads: int | None = None,
        ts_unit: TsUnit | None = None,
        max_matches: int | None = None,
        **more: Any,
    ) -> _R: ...

_match_table: _TableCall[ResultTable]
_explain_table: _TableCall[ResultTable]
_funnel_table: _TableCall[tuple[ResultTable, int]]
_partition_funnel_table: _TableCall[
    tuple[ResultTable, int, dict[str | int, int], list[int] | None]
]
_deepest_per_partition: _TableCall[tuple[ResultTable, int]]
_counted_funnel: _TableCall[tuple[ResultTable, int, list[tuple[int, list[int]]]]]

def _element_labels(pattern: Pattern | PatternBuilder) -> list[str] | None: ...

def release_memory() -> int: ...
