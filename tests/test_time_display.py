"""Results over a temporal ts column read as times: start and end keep the column's type and show
as ISO 8601 in its precision and zone; gap and max_elapsed are durations in its unit, shown as
windows are written (4m45s). pyarrow's own conversions are the reference."""

import datetime as dt
import html
import json
from typing import NamedTuple

import pyarrow as pa
import pyarrow.feather as feather
import pytest

import vashlet
from vashlet import _times
from helpers import cli

BASE = 1_715_408_961  # 2024-05-11T06:29:21Z
DAY = 19_854  # 2024-05-11


class Case(NamedTuple):
    type: pa.DataType
    start: int  # the login's value; the purchase follows `gap` later
    gap: int  # in the column's ticks (days for date32)
    window: int  # likewise, shorter than the gap
    gap_type: pa.DataType
    gap_ticks: int  # gap and window as the duration column holds them
    window_ticks: int
    shown_gap: str
    shown_window: str


def _case(unit, tz=None, fraction=0):
    per_second = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[unit]
    return Case(
        pa.timestamp(unit, tz), BASE * per_second + fraction, 285 * per_second, 60 * per_second,
        pa.duration(unit), 285 * per_second, 60 * per_second, "4m45s", "1m",
    )


CASES = {
    "timestamp[s]": _case("s"),
    "timestamp[ms]": _case("ms", fraction=123),
    "timestamp[us]": _case("us", fraction=123_456),
    "timestamp[ns]": _case("ns", fraction=123_456_789),
    "timestamp[s, UTC]": _case("s", "UTC"),
    "timestamp[ms, +05:30]": _case("ms", "+05:30", fraction=7),
    "timestamp[us, Europe/Paris]": _case("us", "Europe/Paris", fraction=5),
    "timestamp[ns, America/New_York]": _case("ns", "America/New_York", fraction=1),
    # Dates count days, which no duration unit does: their elapsed times are in seconds.
    "date32": Case(pa.date32(), DAY, 2, 1, pa.duration("s"), 172_800, 86_400, "2d", "1d"),
    "date64": Case(pa.date64(), DAY * 86_400_000, 2 * 86_400_000, 86_400_000,
                   pa.duration("ms"), 172_800_000, 86_400_000, "2d", "1d"),
    "time64[us]": Case(pa.time64("us"), 23_361_000_000, 285_000_000, 60_000_000,
                       pa.duration("us"), 285_000_000, 60_000_000, "4m45s", "1m"),
    "time32[ms]": Case(pa.time32("ms"), 23_361_250, 1_250, 250,
                       pa.duration("ms"), 1_250, 250, "1s250ms", "250ms"),
    "duration[ns]": Case(pa.duration("ns"), 10**10, 3_600 * 10**9 + 5, 10**9,
                         pa.duration("ns"), 3_600 * 10**9 + 5, 10**9, "1h5ns", "1s"),
}


def events(case):
    """A login and a purchase `gap` later (too late for the window), then a lone login."""
    return pa.table({
        "partition": ["u1", "u1", "u2"],
        "ts": pa.array([case.start, case.start + case.gap, case.start], case.type),
        "type": ["login", "purchase", "login"],
    })


def pattern(case):
    return f"login -[<={case.shown_window}]-> purchase"


def iso(case, value):
    """The ISO text of a value as pyarrow reads it, in the column's precision."""
    python = pa.array([value], case.type)[0].as_py()
    if pa.types.is_duration(case.type):
        return _times.duration_text(case.type.unit[0], value)
    if pa.types.is_date(case.type):
        return python.isoformat()
    precision = {"s": "seconds", "ms": "milliseconds", "us": "microseconds", "ns": "nanoseconds"}
    # A column of whole seconds is shown without a fraction (these cases' values agree).
    whole = value % {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[case.type.unit] == 0
    unit_name = "seconds" if whole else precision[case.type.unit]
    return python.isoformat(timespec=unit_name).replace(" ", "T")


def in_files(case, value):
    """As CSV and JSON Lines hold it: durations in ISO 8601 too."""
    if pa.types.is_duration(case.type):
        return _times.iso_duration(case.type.unit[0], value)
    return iso(case, value)


@pytest.fixture(params=sorted(CASES))
def case(request):
    return CASES[request.param]


def test_match_keeps_the_type_and_shows_times(case):
    result = vashlet.match("login -> purchase", events(case))
    table = pa.table(result)
    assert table.schema.field("start").type == case.type == table.schema.field("end").type
    start, end = iso(case, case.start), iso(case, case.start + case.gap)
    assert start in repr(result) and end in repr(result)
    assert start in result._repr_html_() and end in result._repr_html_()
    # to_pylist gives what pyarrow gives, of the same Python type.
    ours, theirs = result.to_pylist()[0], table.to_pylist()[0]
    for column in ("start", "end"):
        assert ours[column] == theirs[column]
        assert type(ours[column]) is type(theirs[column])
        if isinstance(theirs[column], dt.datetime):
            assert ours[column].utcoffset() == theirs[column].utcoffset()
    assert result.head(1).to_pylist() == result.to_pylist() == list(result)


def test_near_miss_elapsed_times_are_durations(case):
    result = vashlet.explain(pattern(case), events(case))
    table = pa.table(result)
    assert table.schema.field("gap").type == case.gap_type
    assert table.schema.field("max_elapsed").type == case.gap_type
    late = [row for row in table.to_pylist() if row["reason"] == "window_exceeded"]
    assert len(late) == 1
    assert table["gap"].cast(pa.int64()).to_pylist()[0] == case.gap_ticks
    assert table["max_elapsed"].cast(pa.int64()).to_pylist()[0] == case.window_ticks
    ours = [row for row in result.to_pylist() if row["reason"] == "window_exceeded"][0]
    assert (ours["gap"], ours["max_elapsed"]) == (late[0]["gap"], late[0]["max_elapsed"])
    assert isinstance(ours["gap"], dt.timedelta)
    detail = f"after {case.shown_gap} > {case.shown_window}"  # the compact detail column
    assert detail in repr(result)
    assert detail.replace(">", "&gt;") in result._repr_html_()


def test_command_line_shows_and_writes_times(case, tmp_path):
    source = tmp_path / "events.arrow"
    feather.write_feather(events(case), source)  # Arrow IPC keeps every type as it is
    status, out, _ = cli("explain", pattern(case), source, "--report", tmp_path / "r.html")
    assert status == 0
    detail = f"row 1 after {case.shown_gap} > {case.shown_window}"
    assert detail in out
    assert html.escape(detail) in (tmp_path / "r.html").read_text()

    assert cli("match", "login -> purchase", source, "-o", tmp_path / "m.jsonl")[0] == 0
    (row,) = [json.loads(line) for line in (tmp_path / "m.jsonl").read_text().splitlines()]
    start, end = in_files(case, case.start), in_files(case, case.start + case.gap)
    assert (row["start"], row["end"]) == (start, end)
    assert cli("match", "login -> purchase", source, "-o", tmp_path / "m.csv")[0] == 0
    assert f",{start},{end}," in (
        (tmp_path / "m.csv").read_text()
    )

    assert cli("explain", pattern(case), source, "-o", tmp_path / "x.jsonl")[0] == 0
    rows = [json.loads(line) for line in (tmp_path / "x.jsonl").read_text().splitlines()]
    (late,) = [r for r in rows if r["reason"] == "window_exceeded"]
    unit = case.gap_type.unit[0]
    assert late["gap"] == _times.iso_duration(unit, case.gap_ticks)
    assert late["max_elapsed"] == _times.iso_duration(unit, case.window_ticks)


@pytest.mark.parametrize(
    "unit, value, compact, iso_text",
    [
        ("s", 285, "4m45s", "PT4M45S"),
        ("s", 600, "10m", "PT10M"),
        ("s", 93_600, "1d2h", "P1DT2H"),
        ("s", 86_400, "1d", "P1D"),
        ("s", 0, "0s", "PT0S"),
        ("s", -90, "-1m30s", "-PT1M30S"),
        ("m", 250, "250ms", "PT0.25S"),
        ("u", 86_400_000_001, "1d1us", "P1DT0.000001S"),
        ("n", 1_500_000_123, "1s500ms123ns", "PT1.500000123S"),
    ],
)
def test_duration_texts(unit, value, compact, iso_text):
    assert _times.duration_text(unit, value) == compact
    assert _times.iso_duration(unit, value) == iso_text


def test_integer_ts_columns_stay_integers(tmp_path):
    table = events(CASES["timestamp[s]"]).set_column(1, "ts", pa.array([0, 285, 0]))
    result = vashlet.explain("login -[<=60]-> purchase", table)
    assert pa.table(result).schema.field("gap").type == pa.int64()
    assert [r["gap"] for r in result.to_pylist()] == [285, None]
    feather.write_feather(table, tmp_path / "e.arrow")
    assert "after 285 > 60" in cli("explain", "login -[<=60]-> purchase", tmp_path / "e.arrow")[1]


def test_nanoseconds_without_pandas_are_refused_rather_than_cut(monkeypatch):
    monkeypatch.setattr(_times, "_pandas", lambda: None)
    exact = pa.table({"partition": ["u"], "ts": pa.array([BASE * 10**9], pa.timestamp("ns")),
                      "type": ["login"]})
    (row,) = vashlet.match("login", exact).to_pylist()
    assert row["start"] == dt.datetime(2024, 5, 11, 6, 29, 21) and type(row["start"]) is dt.datetime
    finer = exact.set_column(1, "ts", pa.array([BASE * 10**9 + 1], pa.timestamp("ns")))
    result = vashlet.match("login", finer)
    with pytest.raises(ValueError, match="below a microsecond"):
        result.to_pylist()
    assert "2024-05-11T06:29:21.000000001" in repr(result)  # shown exactly all the same


def test_instants_beyond_the_calendar_show_their_integers():
    far = pa.table({"partition": ["u"], "ts": pa.array([10**15], pa.timestamp("s")),
                    "type": ["login"]})
    assert "1000000000000000" in repr(vashlet.match("login", far))


@pytest.mark.parametrize(
    "values, shown",
    [
        ([BASE * 1000, BASE * 1000 + 5_000], ["06:29:21", "06:29:26"]),  # whole seconds
        ([BASE * 1000, BASE * 1000 + 5_001], ["06:29:21.000", "06:29:26.001"]),  # one finer
    ],
)
def test_times_of_whole_seconds_leave_out_the_fraction(values, shown):
    table = pa.table({"partition": ["u", "u"], "ts": pa.array(values, pa.timestamp("ms")),
                      "type": ["login", "purchase"]})
    text = repr(vashlet.match("login -> purchase", table))
    assert f"2024-05-11T{shown[0]}  2024-05-11T{shown[1]}  " in text
