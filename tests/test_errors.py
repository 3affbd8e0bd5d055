"""Every way a call can be refused, in one table: each row a distinct fault with the exception it
raises and, where the text is ours or the interpreter's template, the exact message. Every row
also checks that a refused call leaves the classes, the reference counts of its arguments and the
allocated blocks as they were. Class changes run in-process: a refusal that regressed fails its
row before anything could use what it made."""

import gc
import sys
from types import SimpleNamespace

import pyarrow as pa
import pytest

import vashlet
from helpers import COERCE_MESSAGE, ORDER_MESSAGE, VALUE_MESSAGE, Index, fresh, message_of, refcounts
from vashlet import (Event, Match, NearMiss, Pattern, PatternBuilder, match_events, near_miss_events,
                     parse_pattern, pattern_from_json, sort_events)


class Outer:
    class Inner:
        pass


class Raising:
    """Raises `error` from the integer protocol and from `len`; items are broken."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        raise IndexError(index)


class BrokenSequence:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise ValueError(f"item {index} is broken")


def arguments():
    """Objects that nothing else holds, so that a call keeping one shows in its count."""
    return SimpleNamespace(s=fresh("A"), t=fresh("x"), list=[fresh("bad")],
                           events=[Event("p", 0, "A"), Event("q", 1, "A")],
                           attrs={fresh("k"): fresh("v"), fresh("bad"): [1]})


B = Pattern.event("A")
P = B.build()
E = Event("é", 0, "A")
UNSORTED = [Event("b", 0, "A"), Event("a", 0, "A")]
TABLE = pa.table({"partition": ["p", "p"], "ts": [1, 2], "type": ["A", "B"]})
CLASSES = [Event, Pattern, PatternBuilder, Match, NearMiss]
NEW, MISSING, TAKES = "Event.__new__() ", " required positional argument", " positional arguments but "
STR, SEQ, BOOL = ("object cannot be converted to '%s'" % name for name in ["PyString", "Sequence", "PyBool"])
INT = "object cannot be interpreted as an integer"
THREADS = "argument 'threads': "
# Changes to a class, each refused: a hollow object, made by a replaced __new__ or __class__, would
# crash the interpreter once used.
CLASS_CHANGES = {
    "set __new__": lambda c: setattr(c, "__new__", lambda c, *args: object.__new__(c)),
    "type.__setattr__ __new__": lambda c: type.__setattr__(c, "__new__", object.__new__),
    "set __init__": lambda c: setattr(c, "__init__", lambda self, *args: None),
    "set __repr__": lambda c: setattr(c, "__repr__", lambda self: "x"),
    "set extra": lambda c: setattr(c, "extra", 1),
    "del __repr__": lambda c: delattr(c, "__repr__"),
    "del __doc__": lambda c: delattr(c, "__doc__"),
}
CONSTRUCTIONS = {"()": lambda c: c(), "(1, x=2)": lambda c: c(1, x=2), "__new__": lambda c: c.__new__(c)}
T = TypeError

ROWS = [
    # Argument binding: every template, and the order of the checks (too many positional first,
    # then keywords in the order given, then the missing ones; binding precedes conversion).
    ("Event()", lambda a: Event(), T, NEW + "missing 3" + MISSING + "s: 'partition', 'ts', and 'typ'"),
    ("Event(p)", lambda a: Event(a.s), T, NEW + "missing 2" + MISSING + "s: 'ts' and 'typ'"),
    ("Event(ts=)", lambda a: Event(ts=1), T, NEW + "missing 2" + MISSING + "s: 'partition' and 'typ'"),
    ("Event(None, None)", lambda a: Event(None, None), T, NEW + "missing 1" + MISSING + ": 'typ'"),
    ("Event 5 args", lambda a: Event(a.s, 1, a.t, None, 5),
     T, NEW + "takes from 3 to 4" + TAKES + "5 were given"),
    ("Event é=", lambda a: Event(a.s, 1, a.t, **{"é": 1}), T, NEW + "got an unexpected keyword argument 'é'"),
    ("Event twice", lambda a: Event(a.s, 1, a.t, partition=a.t),
     T, NEW + "got multiple values for argument 'partition'"),
    ("Event 5 args bogus=", lambda a: Event(1, 2, 3, 4, 5, bogus=1),
     T, NEW + "takes from 3 to 4" + TAKES + "5 were given"),
    ("Event(bogus=)", lambda a: Event(bogus=1), T, NEW + "got an unexpected keyword argument 'bogus'"),
    ("Event bogus before twice", lambda a: Event(a.s, bogus=1, partition=a.t), T,
     NEW + "got an unexpected keyword argument 'bogus'"),
    ("Event twice before bogus", lambda a: Event(a.s, partition=a.t, bogus=1), T,
     NEW + "got multiple values for argument 'partition'"),
    ("sort_events()", lambda a: sort_events(), T, "sort_events() missing 1" + MISSING + ": 'events'"),
    ("sort_events(evts=)", lambda a: sort_events(evts=[]),
     T, "sort_events() got an unexpected keyword argument 'evts'"),
    ("sort_events twice", lambda a: sort_events([], events=[]),
     T, "sort_events() got multiple values for argument 'events'"),
    ("parse_pattern 2 args", lambda a: parse_pattern(a.s, a.t),
     T, "parse_pattern() takes 1" + TAKES + "2 were given"),
    ("pattern_from_json()", lambda a: pattern_from_json(),
     T, "pattern_from_json() missing 1" + MISSING + ": 'json'"),
    ("match_events 5 args", lambda a: match_events(P, a.events, 1, 2, 3), T,
     "match_events() takes from 2 to 4" + TAKES + "5 were given"),  # threads is keyword-only
    ("near_miss_events()", lambda a: near_miss_events(), T,
     "near_miss_events() missing 2" + MISSING + "s: 'pattern' and 'events'"),
    ("near_miss_events 3 args", lambda a: near_miss_events(P, a.events, 3), T,
     "near_miss_events() takes 2" + TAKES + "3 were given"),
    ("Pattern.event()", lambda a: Pattern.event(), T, "Pattern.event() missing 1" + MISSING + ": 'typ'"),
    ("to_json 2 args", lambda a: P.to_json(True, 1),
     T, "Pattern.to_json() takes from 0 to 1" + TAKES + "2 were given"),
    ("then 4 args", lambda a: B.then(a.s, 1, a.t, 4),
     T, "PatternBuilder.then() takes from 1 to 3" + TAKES + "4 were given"),
    ("capture 1 arg", lambda a: B.capture(a.s),
     T, "PatternBuilder.capture() missing 1" + MISSING + ": 'name'"),
    ("where_gte v=", lambda a: B.where_gte(a.s, v=1),
     T, "PatternBuilder.where_gte() got an unexpected keyword argument 'v'"),
    ("build 1 arg", lambda a: B.build(1), T, "PatternBuilder.build() takes 0" + TAKES + "1 was given"),
    # Conversion: each converter's message, prefixed with the parameter
    ("Event partition", lambda a: Event(None, 1, a.t), T, "argument 'partition': 'NoneType' " + STR),
    ("Event typ", lambda a: Event(a.s, 1, Outer.Inner()), T, "argument 'typ': 'Outer.Inner' " + STR),
    ("Event ts float", lambda a: Event(a.s, 1.5, a.t), T, "argument 'ts': 'float' " + INT),
    ("Event ts raising", lambda a: Event(a.s, Raising(TypeError("no index today")), a.t), T,
     "argument 'ts': no index today"),
    ("Event ts overflow", lambda a: Event(a.s, 2**63, a.t), OverflowError, None),
    ("Event ts underflow", lambda a: Event(a.s, Index(-(2**63) - 1), a.t), OverflowError, None),
    ("Event attrs list", lambda a: Event(a.s, 1, a.t, [("k", 1)]), T,
     "argument 'attrs': 'list' object cannot be converted to 'PyDict'"),
    ("Event attribute name", lambda a: Event(a.s, 1, a.t, {a.s: a.t, None: 2}), T, "'NoneType' " + STR),
    ("Event attribute value", lambda a: Event(a.s, 1, a.t, a.attrs), T, VALUE_MESSAGE),
    ("Event surrogate value", lambda a: Event(a.s, 1, a.t, {a.s: "\ud800"}), T, VALUE_MESSAGE),
    ("Event surrogate partition", lambda a: Event("\ud800", 1, a.t), UnicodeEncodeError, None),
    ("Event surrogate name", lambda a: Event(a.s, 1, a.t, {"\udc80": 1}), UnicodeEncodeError, None),
    ("Event interrupted value",
     lambda a: Event(a.s, 1, a.t, {"a": a.t, "b": Raising(KeyboardInterrupt("stop"))}),
     KeyboardInterrupt, "stop"),
    ("sort_events None", lambda a: sort_events(None), T, "argument 'events': 'NoneType' " + SEQ),
    ("sort_events dict", lambda a: sort_events({}), T, "argument 'events': 'dict' " + SEQ),
    ("sort_events generator", lambda a: sort_events(e for e in []),
     T, "argument 'events': 'generator' " + SEQ),
    ("sort_events str", lambda a: sort_events("AB"),
     T, "argument 'events': a str is not accepted as a sequence of events"),
    ("sort_events item", lambda a: sort_events((*a.events, 1)), T,
     "argument 'events': 'int' object cannot be converted to 'Event'"),
    ("sort_events broken item", lambda a: sort_events(BrokenSequence()), ValueError, "item 0 is broken"),
    ("sort_events interrupted length", lambda a: sort_events(Raising(KeyboardInterrupt("stop"))),
     KeyboardInterrupt, "stop"),
    ("parse_pattern bytes", lambda a: parse_pattern(b"A"), T, "argument 'text': 'bytes' " + STR),
    ("parse_pattern text", lambda a: parse_pattern(a.s + " ->"),
     ValueError, "transition is missing a following atom"),
    ("pattern_from_json None", lambda a: pattern_from_json(None), T, "argument 'json': 'NoneType' " + STR),
    ("pattern_from_json text", lambda a: pattern_from_json(a.s),
     ValueError, "expected value at line 1 column 1"),
    ("pattern_from_json no steps", lambda a: pattern_from_json('{"steps": []}'), ValueError,
     "missing field `consumption` at line 1 column 13"),
    ("to_json pretty", lambda a: P.to_json(pretty=1), T, "argument 'pretty': 'int' " + BOOL),
    ("Pattern.event int", lambda a: Pattern.event(3), T, "argument 'typ': 'int' " + STR),
    ("where_eq attribute", lambda a: B.where_eq(1, a.list), T, "argument 'attribute': 'int' " + STR),
    ("where_lt value", lambda a: B.where_lt(a.t, a.list), T, VALUE_MESSAGE),  # values carry no parameter name
    ("where_lt interrupted value", lambda a: B.where_lt(a.t, Raising(KeyboardInterrupt("stop"))),
     KeyboardInterrupt, "stop"),
    ("capture name", lambda a: B.capture(a.s, None), T, "argument 'name': 'NoneType' " + STR),
    ("capture attribute", lambda a: B.capture(a.list, a.t), T, "argument 'attribute': 'list' " + STR),
    ("where_ref_eq attribute", lambda a: B.where_ref_eq(None, a.t),
     T, "argument 'attribute': 'NoneType' " + STR),
    ("then typ first", lambda a: B.then(1, within=1.5, no=2), T, "argument 'typ': 'int' " + STR),
    ("then within float", lambda a: B.then(a.s, within=1.5, no=2), T, "argument 'within': 'float' " + INT),
    ("then within str", lambda a: B.then(a.s, within="10m"),
     T, "argument 'within': 'str' " + INT),  # not a duration
    ("then within overflow", lambda a: B.then(a.s, within=2**63), OverflowError, None),
    ("then no", lambda a: B.then(a.s, no=5), T, "argument 'no': 'int' " + STR),
    # match_events and near_miss_events: events, then the flags, then the order, then the pattern
    ("match_events events", lambda a: match_events(a.s, None, exhaustive=1),
     T, "argument 'events': 'NoneType' " + SEQ),
    ("match_events exhaustive", lambda a: match_events(a.s, UNSORTED, exhaustive=1), T,
     "argument 'exhaustive': 'int' " + BOOL),
    ("match_events use_oracle", lambda a: match_events(a.s, UNSORTED, use_oracle=None), T,
     "argument 'use_oracle': 'NoneType' " + BOOL),
    ("match_events exhaustive list", lambda a: match_events(P, a.events, exhaustive=a.list), T,
     "argument 'exhaustive': 'list' " + BOOL),
    *[(f"{f.__name__} order before pattern {p!r}", lambda a, f=f, p=p: f(p, UNSORTED), ValueError,
       ORDER_MESSAGE)
      for f in (match_events, near_miss_events) for p in (None, "A", P)],
    ("match_events text", lambda a: match_events(a.t, a.events), T, COERCE_MESSAGE),
    ("match_events class", lambda a: match_events(Pattern, []), T, COERCE_MESSAGE),
    ("near_miss_events events", lambda a: near_miss_events(None, None),
     T, "argument 'events': 'NoneType' " + SEQ),
    ("near_miss_events str", lambda a: near_miss_events(P, "ab"),
     T, "argument 'events': a str is not accepted as a sequence of events"),
    ("near_miss_events item", lambda a: near_miss_events(P, [E, 1]), T,
     "argument 'events': 'int' object cannot be converted to 'Event'"),
    ("near_miss_events dict", lambda a: near_miss_events({a.s: []}, a.events), T, COERCE_MESSAGE),
    ("threads 0", lambda a: match_events(P, a.events, threads=0),
     ValueError, THREADS + "must be at least 1, got 0"),
    ("threads -2", lambda a: near_miss_events(P, a.events, threads=-2),
     ValueError, THREADS + "must be at least 1, got -2"),
    ("threads float", lambda a: match_events(P, a.events, threads=1.5), T, THREADS + "'float' " + INT),
    ("threads str", lambda a: near_miss_events(P, a.events, threads=a.s), T, THREADS + "'str' " + INT),
    ("threads list", lambda a: match_events(P, a.events, threads=a.list), T, THREADS + "'list' " + INT),
    ("threads 2**64", lambda a: match_events(P, a.events, threads=2**64), OverflowError, None),
    ("max_matches -1", lambda a: match_events(P, a.events, max_matches=-1), ValueError,
     "argument 'max_matches': must be at least 0, got -1"),
    ("max_matches float", lambda a: vashlet.match(P, a.events, max_matches=1.5),
     T, "argument 'max_matches': 'float' " + INT),
    ("max_matches str", lambda a: match_events(P, a.events, max_matches=a.s),
     T, "argument 'max_matches': 'str' " + INT),
    ("threads after order", lambda a: near_miss_events(P, UNSORTED, threads=2), ValueError, ORDER_MESSAGE),
    # Tables
    ("match table pattern", lambda a: vashlet.match(a.s + " ->", TABLE), ValueError,
     "transition is missing a following atom"),
    ("match table threads", lambda a: vashlet.match(P, TABLE, threads=0),
     ValueError, THREADS + "must be at least 1, got 0"),
    ("match table data", lambda a: vashlet.match(P, 5),
     T, "data must export the Arrow PyCapsule interface (__arrow_c_stream__ or __arrow_c_array__: a "
     "pyarrow, polars, pandas or DuckDB table) or be a sequence of Event objects, not 'int'"),
    ("match table pattern type", lambda a: vashlet.match(42, TABLE), T, COERCE_MESSAGE),
    ("explain table events id", lambda a: vashlet.explain(P, [E], id="e"), ValueError, None),
    # The classes: immutable, and without a constructor but Event's
    *[(f"{cls.__name__} {change}", lambda a, cls=cls, change=change: CLASS_CHANGES[change](cls), T,
       f"cannot set '{change.split()[-1]}' attribute of immutable type 'builtins.{cls.__name__}'")
      for cls in CLASSES for change in CLASS_CHANGES],
    *[(f"object.__new__({cls.__name__})", lambda a, cls=cls: object.__new__(cls), T,
       f"object.__new__(builtins.{cls.__name__}) is not safe, use builtins.{cls.__name__}.__new__()")
      for cls in CLASSES],
    *[(f"__class__ = {cls.__name__}", lambda a, cls=cls: setattr(P if cls is Event else E, "__class__", cls),
       T, "__class__ assignment only supported for mutable types or ModuleType subclasses") for cls in CLASSES],
    *[(f"{cls.__name__} subclass", lambda a, cls=cls: type("Sub", (cls,), {}), T,
       f"type 'builtins.{cls.__name__}' is not an acceptable base type") for cls in CLASSES],
    *[(f"{cls.__name__} {how}", lambda a, cls=cls, how=how: CONSTRUCTIONS[how](cls), T,
       f"No constructor defined for {cls.__name__}") for cls in CLASSES[1:] for how in CONSTRUCTIONS],
    ("foreign receiver", lambda a: PatternBuilder.build(P), T,
     "descriptor 'build' for 'builtins.PatternBuilder' objects doesn't apply to a 'builtins.Pattern' object"),
    ("getter on a foreign object", lambda a: Match.partition.__get__(E), T,
     "descriptor 'partition' for 'builtins.Match' objects doesn't apply to a 'builtins.Event' object"),
]
IDS = [row[0] for row in ROWS]


@pytest.mark.parametrize("call, error, message", [row[1:] for row in ROWS], ids=IDS)
def test_refused_with_its_message(call, error, message):
    classes = [dict(vars(cls)) for cls in CLASSES]
    got = message_of(lambda: call(arguments()), error)
    assert message is None or got == message
    assert [dict(vars(cls)) for cls in CLASSES] == classes


@pytest.mark.parametrize("call, error", [row[1:3] for row in ROWS], ids=IDS)
def test_refused_calls_leave_nothing_behind(call, error):
    a = arguments()
    watched = [*vars(a).values(), *a.list, *a.events, *a.attrs, *a.attrs.values()]

    def run(times):
        for _ in range(times):
            try:
                call(a)
            except error:
                pass
            else:
                raise AssertionError("the call did not fail")

    run(20)  # warm up what lives for the process (imports, caches)
    gc.collect()
    counts = refcounts(watched)

    def growth():
        blocks = sys.getallocatedblocks()
        run(500)
        gc.collect()
        return sys.getallocatedblocks() - blocks

    # A string or an exception left behind by each call would add at least 500 blocks in every
    # round; the interpreter's own caches and free lists move the count by up to a few hundred in
    # one round now and then, so a second round must confirm a large first one.
    grew = growth()
    if grew >= 250:
        grew = min(grew, growth())
    assert refcounts(watched) == counts
    assert grew < 250


@pytest.mark.parametrize("error", [TypeError("wrapped"), type("Sub", (TypeError,), {})(), KeyError("key")])
def test_only_an_exact_type_error_is_prefixed_and_it_keeps_its_cause(error):
    error.__cause__ = cause = ValueError("root")
    with pytest.raises(type(error)) as caught:
        Event("p", Raising(error), "t")
    if type(error) is TypeError:
        assert (str(caught.value), caught.value.__cause__) == ("argument 'ts': wrapped", cause)
    else:
        assert caught.value is error
