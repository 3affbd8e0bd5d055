"""The bundled examples run, and the streaming one finds what the one-shot functions find."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pytest

import vashlet

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load(name):
    where = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(where)
    where.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, printed", [
    ("login_purchase", "why each start did not match"),
    ("stream_alerts", "alerts"),
])
def test_example_runs(name, printed):
    done = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py")], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert printed in done.stdout


def test_stream_alerts_are_the_one_shot_answers():
    example = load("stream_alerts")
    batches = list(example.event_batches())
    pushed, lines = [0], []

    def source():
        for batch in batches:
            yield batch
            pushed[0] += 1

    found, missed = example.alerts(source(), lambda line: lines.append((pushed[0], line)))
    everything = pa.Table.from_pylist([r for b in batches for r in b], schema=example.SCHEMA)
    options = dict(partition="user", ts_unit="s")
    assert found == len(vashlet.match(example.PATTERN, everything, **options))
    misses = vashlet.explain(example.PATTERN, everything, **options)
    assert missed == len(misses) == sum(" timeout " in line for _, line in lines)
    assert {m["reason"] for m in misses} == {
        "window_exceeded", "absence_blocked", "predicate_failed", "no_successor"}
    # Alerts and timeouts come out as the batches arrive, most of them before the flush.
    for kind in ("alert", "timeout"):
        early = [k for k, line in lines if f" {kind} " in line and k < len(batches)]
        assert len(early) > len([line for _, line in lines if f" {kind} " in line]) // 2
