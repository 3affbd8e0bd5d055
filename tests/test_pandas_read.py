"""A pandas DataFrame's export: what the reader is handed equals pandas' own export, whichever
way the frame's float columns are converted, and reads to the same results."""

import math
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import vashlet
from vashlet import _pandas_read

NAN = math.nan
KEYS = {
    "partition": ["a", "a", "b", "b", "a", "b"],
    "ts": [1, 2, 3, 4, 5, 9],
    "type": ["x", "y", "x", "y", "y", "y"],
}
AMOUNTS = [0.5, 2.5, -0.0, math.inf, 3.0, 1.0]


def frames():
    plain = pd.DataFrame({**KEYS, "amount": AMOUNTS})
    return {
        "no missing value": plain,
        "missing values": plain.assign(amount=[NAN, 2.5, NAN, 1.0, 3.0, NAN]),
        "all missing": plain.assign(amount=[NAN] * 6),
        "float32 and float64": plain.assign(cost=np.array(AMOUNTS[::-1], np.float32)),
        "floats first": plain[["amount", "partition", "ts", "type"]],
        "every other row": pd.concat([plain, plain.assign(ts=plain.ts + 20)]).iloc[::2],
        "keyed by its index": plain.set_index("partition"),
        "floats from one block": pd.concat(
            [pd.DataFrame(KEYS), pd.DataFrame(np.arange(12.0).reshape(6, 2), columns=["amount", "cost"])],
            axis=1),
    }


@pytest.fixture
def any_length(monkeypatch):
    """Every frame long enough for the floats to be converted apart."""
    monkeypatch.setattr(_pandas_read, "FLOAT_EXPORT_ROWS", 0)


def without_metadata(table):
    return table.replace_schema_metadata(None)


@pytest.mark.parametrize("name", list(frames()))
def test_the_export_equals_pandas_own(name, any_length):
    frame = frames()[name]
    exported = _pandas_read.exported(frame)
    assert isinstance(exported, pa.Table)  # converted apart, not handed to pandas
    assert without_metadata(exported).equals(without_metadata(pa.Table.from_pandas(frame)))
    assert exported.schema.names == pa.Table.from_pandas(frame).schema.names
    # The caller's frame keeps its numpy floats.
    assert frame.dtypes.equals(frames()[name].dtypes)


@pytest.mark.parametrize("name", [name for name in frames() if name != "keyed by its index"])
def test_a_frame_reads_as_its_table_does(name, any_length):
    frame = frames()[name]
    table = pa.Table.from_pandas(frame, preserve_index=False)
    pattern = "x[amount as $a] -> y[amount >= 1.0]"
    assert vashlet.match(pattern, frame).to_pylist() == vashlet.match(pattern, table).to_pylist()
    assert vashlet.explain(pattern, frame).to_pylist() == vashlet.explain(pattern, table).to_pylist()
    stream = vashlet.Stream(pattern)
    streamed = stream.push(frame).to_pylist() + stream.flush().to_pylist()
    assert streamed == vashlet.match(pattern, table).to_pylist()


def test_a_frame_keyed_by_its_index_reads_its_index(any_length):
    frame = frames()["keyed by its index"]
    assert len(vashlet.match("x -> y[amount >= 1.0]", frame)) == 2


@pytest.mark.parametrize("frame, length", [
    (pd.DataFrame(KEYS).assign(amount=AMOUNTS), None),  # shorter than the conversion pays
    (pd.DataFrame(KEYS).assign(amount=range(6)), 0),    # no float column
    (pd.DataFrame(KEYS).assign(amount=np.array(AMOUNTS, ">f8")), 0),  # bytes swapped
], ids=["short", "no floats", "bytes swapped"])
def test_other_frames_go_to_pandas_as_they_are(frame, length, monkeypatch):
    if length is not None:
        monkeypatch.setattr(_pandas_read, "FLOAT_EXPORT_ROWS", length)
    assert _pandas_read.exported(frame) is frame


def test_a_frame_with_two_columns_of_one_name_is_left_to_pandas(any_length):
    frame = pd.DataFrame(KEYS).assign(amount=AMOUNTS, spare=AMOUNTS)
    frame.columns = ["partition", "ts", "type", "amount", "amount"]
    assert _pandas_read.exported(frame) is frame
    with pytest.raises(ValueError, match="amount"):
        vashlet.match("x -> y[amount >= 1.0]", frame)


def test_without_pyarrow_a_long_frame_is_left_to_pandas(any_length, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # an import of it fails
    frame = frames()["no missing value"]
    assert _pandas_read.exported(frame) is frame
