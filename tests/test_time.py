"""Windows with units: the text, builder and JSON forms, and their resolution against the unit of
the data's timestamps (temporal columns, integer columns with ts_unit, Event lists)."""

import datetime
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from vashlet import Event, Pattern, match_events, near_miss_events, parse_pattern, pattern_from_json
from helpers import message_of
from test_cli import run as cli

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")
import pyarrow.parquet as pq  # noqa: E402

UNITS = {"w": 604_800 * 10**9, "d": 86_400 * 10**9, "h": 3_600 * 10**9, "m": 60 * 10**9,
         "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
TICKS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}


def built_window(pattern, step=1):
    """The max_elapsed field of a built pattern's JSON document at `step`."""
    return json.loads(pattern.to_json())["steps"][step]["transition_from_previous"]["max_elapsed"]


def window_of(text, step=1):
    return built_window(parse_pattern(text), step)


# ---------------------------------------------------------------------------------------------
# Text and JSON forms


@pytest.mark.parametrize("text, window", [
    ("A -[<=10m]-> B", "10m"),
    ("A -[<= 1h30m ]-> B", "1h30m"),
    ("A -[<=0s]-> B", "0s"),
    ("A -[<=2d, no C]-> B", "2d"),
    ("A -[<=1w2d3h4m5s6ms7us8ns]-> B", "1w2d3h4m5s6ms7us8ns"),
    ("A -[<=90m]-> B", "90m"),  # as written, not normalised
    ("A -[<=5, <=10m]-> B", "10m"),  # the last window of a list wins, as before
    ("A -[<=10m, <=5]-> B", 5),
    ("A -[<=600]-> B", 600),
    ("A -[<=-1]-> B", -1),
])
def test_text_windows(text, window):
    assert window_of(text) == window


@pytest.mark.parametrize("window, message", [
    # No unit suffix: the messages of before.
    ("1.5", "invalid timestamp literal `1.5`"),
    ("x", "invalid timestamp literal `x`"),
    ("0x10", "invalid timestamp literal `0x10`"),
    ("0xff", "invalid timestamp literal `0xff`"),
    ("10mins", "invalid timestamp literal `10mins`"),
    ("h", "invalid timestamp literal `h`"),
    # A unit suffix that is not a well-formed duration.
    *[(w, f"invalid duration `{w}`: write whole numbers with units ns, us, ms, s, m, h, d or w, "
          "the largest first, as in 1h30m")
      for w in ["1.5h", "30m1h", "1h1h", "-5m", "+5m", "10 m", "9223372036854775808s"]],
])
def test_text_window_failures(window, message):
    assert message_of(lambda: parse_pattern(f"A -[<={window}]-> B"), ValueError) == message


def document(window):
    return json.dumps({"steps": [
        {"atom": {"event_type": "A", "predicates": [], "reference_predicates": [], "captures": []},
         "transition_from_previous": None},
        {"atom": {"event_type": "B", "predicates": [], "reference_predicates": [], "captures": []},
         "transition_from_previous": {"max_elapsed": window, "absence": []}}],
        "consumption": "FirstSuccessorPerStart"}, separators=(",", ":"))


@pytest.mark.parametrize("window, wording", [("10 m", '"10 m"'), ("1.5h", '"1.5h"'), ("", '""')])
def test_json_window_strings_must_be_durations(window, wording):
    message = message_of(lambda: pattern_from_json(document(window)), ValueError)
    assert message.startswith(f"invalid value: string {wording}, expected i64 or a duration")


# ---------------------------------------------------------------------------------------------
# The builder


@pytest.mark.parametrize("within, window", [
    (datetime.timedelta(minutes=10), "10m"),
    (datetime.timedelta(hours=1, minutes=30), "1h30m"),
    (datetime.timedelta(seconds=1.5), "1s500ms"),
    (datetime.timedelta(days=9, microseconds=7), "9d7us"),
    (datetime.timedelta(0), "0s"),
    (np.timedelta64(10, "m"), "10m"),
    (np.timedelta64(250, "ms"), "250ms"),
    (np.timedelta64(2, "W"), "2w"),
    (np.timedelta64(3, "5m"), "15m"),
    (300, 300),
])
def test_builder_windows(within, window):
    built = Pattern.event("A").then("B", within=within).build()
    assert built_window(built) == window


def test_builder_takes_pandas_timedeltas_to_the_nanosecond():
    pd = pytest.importorskip("pandas")
    built = Pattern.event("A").then("B", within=pd.Timedelta("1h1ns")).build()
    assert built.to_json() == parse_pattern("A -[<=1h1ns]-> B").to_json()


@pytest.mark.parametrize("within, message", [
    (datetime.timedelta(seconds=-1), "within must not be negative"),
    (np.timedelta64(-1, "s"), "within must not be negative"),
    (np.timedelta64("NaT", "s"), "within: a numpy.timedelta64 that is not a time (NaT) is not a duration"),
    (np.timedelta64(5), "within: a numpy.timedelta64 without a unit is not a duration"),
    (np.timedelta64(1, "Y"), "within: a numpy.timedelta64 in 'Y' has no fixed length in nanoseconds "
                             "(use W, D, h, m, s, ms, us or ns)"),
])
def test_builder_refuses_durations_that_are_not_windows(within, message):
    assert message_of(lambda: Pattern.event("A").then("B", within=within), ValueError) == message


PARTS = st.lists(st.tuples(st.sampled_from(list(UNITS)), st.integers(0, 10**6)), min_size=1, max_size=4)


def duration_text(parts):
    order = list(UNITS)
    ordered = sorted({unit: count for unit, count in parts}.items(), key=lambda p: order.index(p[0]))
    return "".join(f"{count}{unit}" for unit, count in ordered)


def nanoseconds_of(text):
    assert window_of(f"A -[<={text}]-> B") == text
    total, number = 0, ""
    for unit in (text.replace("ms", "M").replace("us", "U").replace("ns", "N")):
        if unit.isdigit():
            number += unit
        else:
            total += int(number) * UNITS[{"M": "ms", "U": "us", "N": "ns"}.get(unit, unit)]
            number = ""
    return total


@settings(max_examples=200, deadline=None)
@given(PARTS)
def test_text_json_builder_round_trips(parts):
    text = duration_text(parts)
    parsed = parse_pattern(f"A -[<={text}]-> B")
    document = parsed.to_json()
    assert pattern_from_json(document).to_json() == document
    assert pattern_from_json(parsed.to_json(pretty=True)).to_json() == document
    # The builder writes a timedelta in whole days down to nanoseconds: the same length, and the
    # text of that form reads back to the builder's pattern.
    nanoseconds = nanoseconds_of(text)
    if nanoseconds >= 2**63:
        return
    built = Pattern.event("A").then("B", within=np.timedelta64(nanoseconds, "ns")).build()
    assert built_window(built) == f"{nanoseconds}ns"
    if nanoseconds % 1000 == 0:
        delta = datetime.timedelta(microseconds=nanoseconds // 1000)
        via_delta = Pattern.event("A").then("B", within=delta).build()
        again = built_window(via_delta)
        assert nanoseconds_of(again) == nanoseconds
        assert parse_pattern(f"A -[<={again}]-> B").to_json() == via_delta.to_json()


# ---------------------------------------------------------------------------------------------
# Resolution against the data


def events_table(seconds, types, partitions, ts):
    ts = ts if isinstance(ts, pa.Array) else pa.array(ts, pa.int64())
    return pa.table({"partition": pa.array(partitions, pa.string()), "ts": ts,
                     "type": pa.array(types, pa.string())})


def near_rows(table):
    keep = ("start_row", "reached_steps", "rows", "reason", "candidate_row", "blocking_row")
    return [{k: row[k] for k in keep} for row in table.to_pylist()]


def outcome(pattern, data, **options):
    """First-successor and exhaustive matches, and near misses, of `pattern` over `data`."""
    found = [sorted(tuple(r["rows"]) for r in vashlet.match(pattern, data, exhaustive=exhaustive,
                                                            **options).to_pylist())
             for exhaustive in (False, True)]
    return found, near_rows(vashlet.explain(pattern, data, **options))


EVENTS = st.lists(st.tuples(st.sampled_from("pq"), st.integers(0, 4000), st.sampled_from("ABC")),
                  max_size=25)
WINDOW = st.tuples(st.sampled_from(["ms", "s", "m", "h"]), st.integers(0, 5000)).map(lambda p: f"{p[1]}{p[0]}")


def patterns(window_texts, absence):
    first, second = window_texts
    no = ", no C" if absence else ""
    return f"A -[<={first}{no}]-> B -[<={second}]-> A"


def tick_pattern(durations, absence, per_tick_ns):
    return patterns([nanoseconds_of(d) // per_tick_ns for d in durations], absence)


def temporal_columns(seconds):
    columns = []
    for unit in ("s", "ms", "us", "ns"):
        scaled = [s * PER_SECOND[unit] for s in seconds]
        columns.append(pa.array(scaled, pa.timestamp(unit)))
        columns.append(pa.array(scaled, pa.timestamp(unit, tz="Pacific/Auckland")))
        columns.append(pa.array(scaled, pa.duration(unit)))
    columns.append(pa.array([s * 1000 for s in seconds], pa.time32("ms")))
    columns.append(pa.array([s * 10**6 for s in seconds], pa.time64("us")))
    return columns


@settings(max_examples=60, deadline=None)
@given(EVENTS, st.tuples(WINDOW, WINDOW), st.booleans())
def test_duration_windows_equal_tick_windows_over_seconds(rows, windows, absence):
    partitions = [r[0] for r in rows]
    seconds = [r[1] for r in rows]
    types = [r[2] for r in rows]
    expected = outcome(tick_pattern(windows, absence, 10**9), events_table(seconds, types, partitions, seconds))
    pattern = patterns(windows, absence)
    for column in temporal_columns(seconds):
        assert outcome(pattern, events_table(seconds, types, partitions, column)) == expected, column.type
    for unit, per_second in PER_SECOND.items():
        scaled = [s * per_second for s in seconds]
        assert outcome(pattern, events_table(seconds, types, partitions, scaled), ts_unit=unit) == expected
    # Event lists, row by row.
    events = vashlet.sort_events([Event(p, s, t) for p, s, t in rows])
    reference = tick_pattern(windows, absence, 10**9)
    plain = [(m.partition, m.indices) for m in match_events(parse_pattern(reference), events, exhaustive=True)]
    assert [(m.partition, m.indices) for m in match_events(parse_pattern(pattern), events, exhaustive=True,
                                                           ts_unit="s")] == plain
    misses = [(m.start_index, m.indices) for m in near_miss_events(parse_pattern(reference), events)]
    assert [(m.start_index, m.indices) for m in near_miss_events(parse_pattern(pattern), events,
                                                                 ts_unit="s")] == misses


DAY_WINDOW = st.tuples(st.sampled_from(["h", "d", "w"]), st.integers(0, 400)).map(lambda p: f"{p[1]}{p[0]}")


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("pq"), st.integers(0, 60), st.sampled_from("ABC")), max_size=25),
       st.tuples(DAY_WINDOW, DAY_WINDOW), st.booleans())
def test_date_columns_count_whole_days(rows, windows, absence):
    partitions = [r[0] for r in rows]
    days = [r[1] for r in rows]
    types = [r[2] for r in rows]
    seconds = [d * 86_400 for d in days]
    expected = outcome(tick_pattern(windows, absence, 10**9), events_table(seconds, types, partitions, seconds))
    pattern = patterns(windows, absence)
    for column in (pa.array(days, pa.date32()), pa.array([s * 1000 for s in seconds], pa.date64())):
        assert outcome(pattern, events_table(seconds, types, partitions, column)) == expected, column.type


@pytest.mark.parametrize("window, elapsed, matches", [
    ("1500ms", 1, True), ("1500ms", 2, False), ("999ms", 0, True), ("999ms", 1, False),
    ("1m", 60, True), ("1m", 61, False),
])
def test_windows_round_down_to_whole_ticks(window, elapsed, matches):
    table = events_table(None, ["A", "B"], ["p", "p"], pa.array([0, elapsed], pa.timestamp("s")))
    assert len(vashlet.match(f"A -[<={window}]-> B", table)) == int(matches)


DATETIME = pa.array([0, 180 * 10**6], pa.timestamp("us"))


@pytest.mark.parametrize("pattern, data, options, message", [
    ("A -[<=300]-> B", DATETIME, {},
     "the window 300 has no unit, but 'ts' counts microseconds: write 300s, or 300us for raw ticks"),
    ("A -[<=300]-> B", pa.array([0, 180], pa.timestamp("s")), {},
     "the window 300 has no unit, but 'ts' counts seconds: write 300s"),
    ("A -[<=7]-> B", pa.array([0, 1], pa.date32()), {}, "the window 7 has no unit, but 'ts' counts days: write 7d"),
    ("A -[<=-1]-> B", DATETIME, {},
     "the window -1 has no unit, but 'ts' counts microseconds: give it one, such as 10m"),
    ("A -[<=5m]-> B", pa.array([0, 180]), {},
     "the window 5m has a unit, but 'ts' holds plain integers: say what they count with ts_unit "
     "('s', 'ms', 'us' or 'ns'; --ts-unit on the command line)"),
    ("A -[<=109575d]-> B", pa.array([0, 1], pa.timestamp("ns")), {},
     "the window 109575d is too long for 'ts', which counts nanoseconds: it exceeds 2^63 - 1 of them"),
    ("A -[<=5m]-> B", DATETIME, {"ts_unit": "ms"},
     "ts_unit='ms' disagrees with 'ts', whose type counts microseconds: leave ts_unit out for a "
     "temporal column"),
])
def test_windows_that_cannot_be_resolved(pattern, data, options, message):
    table = events_table(None, ["A", "B"], ["p", "p"], data)
    for run in (vashlet.match, vashlet.explain, vashlet.funnel):
        assert message_of(lambda: run(pattern, table, **options), ValueError) == message


def test_event_lists_keep_unitless_windows_and_need_a_unit_for_durations():
    events = [Event("p", 0, "A"), Event("p", 180, "B")]
    assert len(match_events(parse_pattern("A -[<=300]-> B"), events)) == 1
    assert len(vashlet.match("A -[<=300]-> B", events, ts_unit="s")) == 1
    assert len(vashlet.match("A -[<=2m]-> B", events, ts_unit="s")) == 0
    assert len(match_events(parse_pattern("A -[<=3m]-> B"), events, ts_unit="s")) == 1
    message = ("the window 3m has a unit, but the events' timestamps are plain integers: say what they "
               "count with ts_unit ('s', 'ms', 'us' or 'ns'; --ts-unit on the command line)")
    for run in (lambda: match_events(parse_pattern("A -[<=3m]-> B"), events),
                lambda: near_miss_events(parse_pattern("A -[<=3m]-> B"), events),
                lambda: vashlet.match("A -[<=3m]-> B", events)):
        assert message_of(run, ValueError) == message


def test_ts_unit_that_agrees_with_the_column_is_accepted():
    table = events_table(None, ["A", "B"], ["p", "p"], DATETIME)
    assert len(vashlet.match("A -[<=3m]-> B", table, ts_unit="us")) == 1


def test_scaleout_plans_carry_ts_unit():
    from vashlet._inputs import Columns
    from vashlet._scaleout import Plan

    schema = pa.schema([("partition", pa.string()), ("ts", pa.int64()), ("type", pa.string()),
                        ("id", pa.int64())])
    Plan("A -[<=3m]-> B", Columns(id="id", ts_unit="s"), explain=False).check(schema)
    plan = Plan("A -[<=3m]-> B", Columns(id="id"), explain=True)
    with pytest.raises(ValueError, match="has a unit, but 'ts' holds plain integers"):
        plan.check(schema)


# ---------------------------------------------------------------------------------------------
# The command line, on Parquet and on CSV with ISO timestamps

def test_command_line_windows_mean_the_same_on_parquet_and_csv(tmp_path):
    start = datetime.datetime(2024, 5, 11, 6, 0, 0)
    offsets = [0, 285, 0, 900, 40, 100]
    frame = {
        "partition": ["ann", "ann", "bob", "bob", "cat", "cat"],
        "ts": [start + datetime.timedelta(seconds=s) for s in offsets],
        "type": ["view", "cart", "view", "cart", "view", "cart"],
    }
    pq.write_table(pa.table({**frame, "ts": pa.array(frame["ts"], pa.timestamp("ns"))}),
                   tmp_path / "web.parquet")
    lines = ["partition,ts,type"] + [f"{p},{t.isoformat()},{y}" for p, t, y in
                                     zip(frame["partition"], frame["ts"], frame["type"])]
    (tmp_path / "web.csv").write_text("\n".join(lines) + "\n")
    ints = ["partition,ts,type"] + [f"{p},{s},{y}" for p, s, y in
                                    zip(frame["partition"], offsets, frame["type"])]
    (tmp_path / "ints.csv").write_text("\n".join(ints) + "\n")

    outputs = []
    for name, extra in (("web.parquet", []), ("web.csv", []), ("ints.csv", ["--ts-unit", "s"])):
        done = cli("match", "view -[<=5m]-> cart", tmp_path / name, "-o", tmp_path / f"{name}.jsonl",
                   *extra)
        assert done.returncode == 0, done.stderr
        rows = [json.loads(line) for line in (tmp_path / f"{name}.jsonl").read_text().splitlines()]
        outputs.append([(row["partition"], row["rows"]) for row in rows])
    assert outputs[0] == outputs[1] == outputs[2] == [("ann", [0, 1]), ("cat", [4, 5])]

    done = cli("match", "view -[<=600]-> cart", tmp_path / "web.parquet")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == ("vashlet: error: the window 600 has no unit, but 'ts' counts nanoseconds: "
                           "write 600s, or 600ns for raw ticks\n")
    done = cli("match", "view -[<=5m]-> cart", tmp_path / "ints.csv")
    assert done.returncode == 2 and "--ts-unit" in done.stderr
    assert "--ts-unit {s,ms,us,ns}" in cli("match", "--help").stdout
