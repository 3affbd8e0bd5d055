"""No Python code can make a native object whose native part was never built: the classes are
immutable, and neither `object.__new__` nor a replaced `__new__` gets past their constructors. A
hollow object would crash the interpreter, so every attempt runs in a child process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import vashlet
from vashlet import Event, Match, NearMiss, Pattern, PatternBuilder

# Run in a child: `sys.argv[1]` names the class. Prints, per attempt, the name of the exception it
# raised or "accepted"; what an accepted attempt made is used at once, where a hollow object crashes.
ATTEMPTS = textwrap.dedent("""
    import json, sys
    import vashlet
    from vashlet import *

    events = [Event("p", 0, "A", {"x": 1}), Event("p", 1, "B")]
    instances = {
        "Event": events[0],
        "Pattern": parse_pattern("A -> B -> C"),
        "PatternBuilder": Pattern.event("A").then("B"),
        "Match": match_events(parse_pattern("A -> B"), events)[0],
        "NearMiss": near_miss_events(parse_pattern("A -> B -> C"), events)[0],
    }
    cls = getattr(vashlet, sys.argv[1])
    instance = instances[sys.argv[1]]
    other = instances["Pattern" if cls is not Pattern else "Event"]
    outcomes = {}

    def replace_new(c):
        c.__new__ = lambda c, *args, **kwargs: object.__new__(c)
        return c()

    def replace_init(c):
        c.__init__ = lambda self, *args, **kwargs: None
        return c()

    def take_class(c):
        other.__class__ = c
        return other

    attempts = {
        "object.__new__": lambda c: object.__new__(c),
        "cls.__new__": lambda c: c.__new__(c),
        "replaced __new__": replace_new,
        "replaced __new__ through type": lambda c: (type.__setattr__(c, "__new__", object.__new__), c())[1],
        "replaced __init__": replace_init,
        "replaced __repr__": lambda c: setattr(c, "__repr__", lambda self: "x"),
        "deleted __repr__": lambda c: delattr(c, "__repr__"),
        "new class attribute": lambda c: setattr(c, "extra", 1),
        "__class__ assignment": take_class,
    }
    def use(thing):
        repr(thing)
        for member in dir(thing):
            if not member.startswith("_"):
                try:
                    value = getattr(thing, member)
                    if member in ("build", "to_json"):
                        value()
                except Exception:
                    pass

    for name, attempt in attempts.items():
        try:
            result = attempt(cls)
        except BaseException as error:
            outcomes[name] = type(error).__name__
        else:
            outcomes[name] = "accepted"
            print("using what", name, "made", flush=True)
            use(result)
            use(instance)
    print(json.dumps(outcomes), flush=True)
""")

CLASSES = [Event, Pattern, PatternBuilder, Match, NearMiss]


def run_attempts(cls):
    package_root = os.path.dirname(os.path.dirname(vashlet.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", ATTEMPTS, cls.__name__], capture_output=True, text=True,
                          env=env, timeout=60)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
def test_no_attempt_makes_a_hollow_object(cls):
    child = run_attempts(cls)
    assert child.returncode == 0, child.stderr
    *_, outcomes = child.stdout.splitlines()
    refused = {name: "TypeError" for name in json.loads(outcomes)}
    # cls() with a replaced __new__/__init__ never gets that far: the assignment is refused.
    assert json.loads(outcomes) == refused


def test_event_constructors_still_build_events():
    built = [Event("p", 1, "A", {"x": 1}), Event.__new__(Event, "p", 1, "A", {"x": 1}),
             Event(partition="p", ts=1, typ="A", attrs={"x": 1})]
    assert {(e.partition, e.ts, e.typ, tuple(e.attrs.items())) for e in built} == {("p", 1, "A", (("x", 1),))}
    # __init__ is object's: calling it again changes nothing.
    Event.__init__(built[0], "q", 2, "B")
    assert (built[0].partition, built[0].ts, built[0].typ) == ("p", 1, "A")
