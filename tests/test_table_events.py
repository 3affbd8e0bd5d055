"""Events read from a table carry what the reader knew of them (partition and type numbers) and
take their attributes from one block: the same matches and near misses as the same events given
as a list, whichever path read them, on one thread or several, for attributes of every size."""

import random

import pyarrow as pa
import pytest

import vashlet
from vashlet import Event, _core, match_events, near_miss_events, parse_pattern, sort_events

LONG_NAME = "an_attribute_name_longer_than_inline_text"
LONG_TYPE = "a_type_name_longer_than_inline_text"
# Enough rows that the reader builds its events in more than one slice on two threads.
ROWS = 150_000

PATTERNS = [
    "view -[<=40]-> cart -[<=90]-> buy[amount >= 20.0]",
    f"view[{LONG_NAME} as $i] -[<=40]-> cart[{LONG_NAME} == $i] -[<=90]-> buy[note != \"x\"]",
    f"view[{LONG_NAME} as $i, note as $n] -[<=40, no drop[{LONG_NAME} == $i]]-> "
    f"buy[{LONG_NAME} == $i, amount >= 10.0]",
    # Events of a long type name, with no text attributes.
    f"view -[<=40]-> {LONG_TYPE}[amount >= 20.0]",
]


def note(rng):
    """Short texts, texts too long to keep inline, and missing values."""
    return rng.choice([None, "x", "y", "a note long enough to need its own storage " * 2])


@pytest.fixture(scope="module")
def rows():
    rng = random.Random(7)
    out = []
    ts = {}
    for _ in range(ROWS):
        partition = f"user-{rng.randrange(3000):05d}"
        ts[partition] = ts.get(partition, 0) + rng.choice([0, 1, 5, 30])
        typ = rng.choice(["view", "view", "cart", "buy", "drop", "other", LONG_TYPE])
        out.append(
            (
                partition,
                ts[partition],
                typ,
                {
                    LONG_NAME: rng.choice([None, f"item {rng.randrange(40)} of a long catalogue"]),
                    "note": note(rng),
                    "amount": rng.choice([None, 5.0, 25.0]),
                },
            )
        )
    return out


@pytest.fixture(scope="module")
def table(rows):
    columns = {
        "partition": pa.array([r[0] for r in rows], pa.string()),
        "ts": pa.array([r[1] for r in rows], pa.int64()),
        "type": pa.array([r[2] for r in rows], pa.string()),
    }
    for name in (LONG_NAME, "note", "amount"):
        columns[name] = pa.array([r[3][name] for r in rows])
    whole = pa.table(columns)
    return pa.Table.from_batches(whole.to_batches(max_chunksize=ROWS // 2), whole.schema)


@pytest.fixture(scope="module")
def events(rows):
    return sort_events(
        [
            Event(p, ts, typ, {**{k: v for k, v in attrs.items() if v is not None}, "__row": row})
            for row, (p, ts, typ, attrs) in enumerate(rows)
        ]
    )


def list_matches(pattern, events):
    return [
        (m.partition, m.start, m.end, [events[i].attrs["__row"] for i in m.indices], m.captures)
        for m in match_events(parse_pattern(pattern), events)
    ]


def table_matches(result):
    return [
        (r["partition"], r["start"], r["end"], r["rows"], {k: v for k, v in r["captures"].items()})
        for r in result.to_pylist()
    ]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("pattern", PATTERNS)
def test_table_matches_equal_the_list_matches(table, events, pattern, threads):
    expected = list_matches(pattern, events)
    assert expected  # the data exercises the pattern
    _core._paths_taken()
    found = table_matches(vashlet.match(pattern, table, threads=threads))
    numbered = _core._paths_taken()["numbered_types"]
    assert found == expected
    assert numbered > 0  # the matchers read the reader's type numbers


def test_a_list_is_matched_by_type_names(events):
    _core._paths_taken()
    found = match_events(parse_pattern(PATTERNS[0]), events)
    assert found
    assert _core._paths_taken()["numbered_types"] == 0


@pytest.mark.parametrize("threads", [1, 2])
def test_near_misses_over_a_table_keep_long_attributes(table, events, threads):
    pattern = PATTERNS[1]
    expected = [
        (m.partition, m.reason, [events[i].attrs["__row"] for i in m.indices], m.captures)
        for m in near_miss_events(parse_pattern(pattern), events)
    ]
    found = [
        (r["partition"], r["reason"], r["rows"], {k: v for k, v in r["captures"].items()})
        for r in vashlet.explain(pattern, table, threads=threads).to_pylist()
    ]
    assert expected and found == expected
