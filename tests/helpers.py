"""Small helpers shared by the test modules."""

import io
import os
import sys

import pytest

from vashlet import Event

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
ORDER_MESSAGE = (
    "events must be grouped by partition and sorted by (timestamp, input order); call sort_events first"
)
COERCE_MESSAGE = "expected a Pattern, a pattern builder, or the result of parse_pattern()"
VALUE_MESSAGE = "event attribute values must be str, int, float, bool, or None"


class Index:
    """An integer only through the index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sequence:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def events_of(*rows, partition="p"):
    """Events of one partition from (typ, ts) or (typ, ts, attrs) rows."""
    return [Event(partition, row[1], row[0], row[2] if len(row) > 2 else None) for row in rows]


def timeline(text, partition="p"):
    """Events of one partition written as `type@ts` separated by spaces."""
    return [Event(partition, int(ts), typ) for typ, ts in (item.split("@") for item in text.split())]


def message_of(call, error=TypeError):
    """The message of the exception that `call` raises, which must be exactly `error`."""
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    return str(caught.value)


def fresh(text):
    """A str that nothing else holds (neither interned nor a constant)."""
    return "".join([text, "!"])


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def cli(*arguments):
    """The command line run in process: (status, stdout, stderr)."""
    from vashlet.cli import run

    out, err = io.StringIO(), io.StringIO()
    status = run([str(a) for a in arguments], out, err)
    return status, out.getvalue(), err.getvalue()


def resident_bytes():
    """The process's resident memory, from /proc."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
