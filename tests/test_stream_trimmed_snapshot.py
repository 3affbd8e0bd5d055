"""A Stream's snapshot after its state dropped decided events restores, in every mode."""

import pyarrow as pa
import pytest

import vashlet


@pytest.mark.parametrize("mode", ["first", "all", "non_overlapping"])
def test_snapshot_after_dropping_decided_events_restores(mode):
    # The purchase starts nothing, so the push drops it; the login stays open.
    pattern = "login -[<=60]-> view -[<=200]-> purchase"
    stream = vashlet.Stream(pattern, partition="user", mode=mode)
    stream.push(pa.table({"user": ["a", "a"], "ts": [111, 186], "type": ["purchase", "login"]}))
    assert stream.stats()["kept_events"] == 1
    restored = vashlet.Stream.restore(stream.snapshot())
    later = pa.table({"user": ["a"] * 3, "ts": [200, 300, 1000],
                      "type": ["view", "purchase", "login"]})  # the last decides the start
    got = restored.push(later).to_pylist()
    assert got == stream.push(later).to_pylist()
    assert [match["rows"] for match in got] == [[1, 2, 3]]
