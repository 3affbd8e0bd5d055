"""The module, the class policy, the signatures of every callable and the internal-failure
exception. The errors of every call are in test_errors.py."""

import importlib
import inspect
import sys
import weakref

import pytest

import vashlet
from vashlet import _core
from vashlet import (Event, Match, NearMiss, Pattern, PatternBuilder, match_events, near_miss_events,
                     parse_pattern, pattern_from_json, sort_events)


def test_module_attributes_in_registration_order():
    assert (_core.__name__, _core.__doc__) == ("vashlet._core", "")
    assert _core.__all__ == ["Event", "Pattern", "PatternBuilder", "Match", "NearMiss", "parse_pattern",
                             "pattern", "pattern_from_json", "sort_events", "match_events", "near_miss_events"]
    assert vashlet.__all__ == _core.__all__ + [
        "match", "explain", "MatchTable", "NearMissTable", "Stream", "StreamBatch", "funnel", "Funnel",
        "FunnelStep", "StopReason",
        "PanicException",
        "release_memory",
        "ANY",
    ]
    assert all(getattr(vashlet, name) is getattr(_core, name) for name in _core.__all__)


def test_reimport_returns_the_same_module_object():
    saved = sys.modules.pop("vashlet._core")
    try:
        assert importlib.import_module("vashlet._core") is saved
    finally:
        sys.modules["vashlet._core"] = saved


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError"):
            interpreters.run_string(interpreter, "import vashlet._core")
    finally:
        interpreters.destroy(interpreter)


# ---------------------------------------------------------------------------------------------
# Classes and functions: the parameter names callers bind by, and what instances refuse

SIGNATURES = {
    Event: "(partition, ts, typ, attrs=None)",
    Pattern.event: "(typ)",
    Pattern.to_json: "($self, pretty=False)",
    **{getattr(PatternBuilder, f"where_{op}"): "($self, attribute, value)"
       for op in ["eq", "ne", "gt", "gte", "lt", "lte"]},
    PatternBuilder.capture: "($self, attribute, name)",
    PatternBuilder.where_ref_eq: "($self, attribute, name)",
    PatternBuilder.then: "($self, typ, within=None, no=None)",
    PatternBuilder.build: "($self)",
    parse_pattern: "(text)",
    pattern_from_json: "(json)",
    sort_events: "(events)",
    match_events: "(pattern, events, exhaustive=False, use_oracle=False, *, threads=None, ts_unit=None, "
                  "max_matches=None)",
    near_miss_events: "(pattern, events, *, threads=None, ts_unit=None)",
}
CLASSES = [Event, Pattern, PatternBuilder, Match, NearMiss]


def test_signatures():
    for member, signature in SIGNATURES.items():
        assert member.__text_signature__ == signature
        inspect.signature(member)
    assert isinstance(vars(Pattern)["event"], staticmethod)
    for function in SIGNATURES:
        if not isinstance(function, type) and function.__qualname__ == function.__name__:
            assert function.__module__ == "vashlet._core" and getattr(_core, function.__name__) is function


def instance_of(cls):
    events = [Event("p", 0, "A"), Event("p", 1, "B")]
    return {
        Event: lambda: events[0],
        Pattern: lambda: parse_pattern("A -> C"),
        PatternBuilder: lambda: Pattern.event("A"),
        Match: lambda: match_events(Pattern.event("A"), events)[0],
        NearMiss: lambda: near_miss_events(parse_pattern("A -> C"), events)[0],
    }[cls]()


@pytest.mark.parametrize("cls", CLASSES)
def test_class_policy(cls):
    # Construction and subclassing are refused in test_errors.py.
    assert (cls.__module__, cls.__qualname__, repr(cls)) == ("builtins", cls.__name__,
                                                            f"<class 'builtins.{cls.__name__}'>")
    first, second = instance_of(cls), instance_of(cls)
    assert first == first and first != second and hash(first) != hash(second)
    assert not hasattr(first, "__dict__")
    with pytest.raises(AttributeError):
        first.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(first)
    properties = [name for name, member in vars(cls).items()
                  if not name.startswith("_") and inspect.isdatadescriptor(member)]
    assert properties or cls in (Pattern, PatternBuilder)
    for name in properties:
        with pytest.raises(AttributeError):
            setattr(first, name, getattr(first, name))
        with pytest.raises(AttributeError):
            delattr(first, name)


def test_keywords_bind_in_any_order():
    event = Event(typ="t", ts=3, partition="p", attrs={"a": 1})
    assert (event.partition, event.ts, event.typ, event.attrs) == ("p", 3, "t", {"a": 1})
    assert sort_events(events=[event])[0].typ == "t"
    assert len(match_events(events=[event], use_oracle=True, pattern=Pattern.event("t"))) == 1


def test_event_constructors_still_build_events():
    built = [Event("p", 1, "A", {"x": 1}), Event.__new__(Event, "p", 1, "A", {"x": 1}),
             Event(partition="p", ts=1, typ="A", attrs={"x": 1})]
    assert {(e.partition, e.ts, e.typ, tuple(e.attrs.items())) for e in built} == {("p", 1, "A", (("x", 1),))}
    # __init__ is object's: calling it again changes nothing.
    Event.__init__(built[0], "q", 2, "B")
    assert (built[0].partition, built[0].ts, built[0].typ) == ("p", 1, "A")


# ---------------------------------------------------------------------------------------------
# Internal failures


def panic(attrs):
    with pytest.raises(BaseException) as caught:
        Event("p", 1, "t", attrs)
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


def growing_attrs():
    attrs = {}

    class Grow:
        def __index__(self):
            attrs["late"] = 1
            return 1

    attrs["x"] = Grow()
    return attrs


def test_panic_exception_is_a_base_exception_created_once():
    first, second = panic(growing_attrs()), panic(growing_attrs())
    assert type(first) is type(second) is vashlet.PanicException is _core.PanicException
    assert not isinstance(first, Exception)
    assert str(first) == "dictionary changed size during iteration"
    assert "PanicException" not in _core.__all__


# A native allocation that fails: a million events handed to the matcher with 16 MiB of address
# space to spare.
OUT_OF_MEMORY = """
import resource
from vashlet import Event, match_events, parse_pattern
events = [Event("b", t, "A") for t in range(1_000_000)]
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), size + (16 << 20)))
try:
    match_events(parse_pattern("A -> A"), events, threads=1)
except MemoryError as error:
    print(error)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif("LD_PRELOAD" in __import__("os").environ, reason="sanitizers reserve address space")
def test_native_memory_error_has_a_message():
    import subprocess

    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout == (
        "out of memory: the native code could not allocate the memory the call needs\n"
    ), done.stderr


def test_a_rekeyed_dict_panics_without_reading_freed_entries():
    attrs = {}

    class Rekey:
        def __index__(self):
            del attrs["".join(["fi", "rst"])]  # drops the only reference to the key
            attrs["third"] = 3
            return 1

    attrs["".join(["fi", "rst"])] = Rekey()
    attrs["second"] = 2
    assert str(panic(attrs)) == "dictionary keys changed during iteration"


def test_the_stub_declares_what_the_module_has_and_no_test_hooks():
    import ast
    from pathlib import Path

    from vashlet import _core

    tree = ast.parse(Path(_core.__file__).with_name("_core.pyi").read_text())
    declared = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert {name for name in declared if not hasattr(_core, name)} == {"_TableCall"}
    assert set(_core.__all__) <= declared
    hooks = {"_read_table", "_time_matching", "_cgroup_quota_cores", "_worker_threads"}
    assert all(hasattr(_core, name) for name in hooks)  # still there for the tests and bench
    assert not hooks & (declared | set(importlib.import_module("vashlet").__all__))
