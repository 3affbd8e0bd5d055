"""Random runs for the stream tests: events of a few partitions in the order they arrive (out of
order by at most a lateness, or later where a test wants late events), cut into batches, pushed
into a `vashlet.Stream`, and the results as multisets to compare with the one-shot tables."""

import json
from collections import Counter

import pyarrow as pa
from hypothesis import strategies as st

import vashlet

NOISE = "X"  # a type no pattern here names (unless it has a step of any type)
PARTITIONS = st.sampled_from([["a"], ["a", "b"], ["a", "b", "c"]])
STEPS = st.sampled_from([0, 0, 1, 1, 2, 3])


@st.composite
def timelines(draw, types="AAABBC" + NOISE, most=8):
    """Events (partition, ts, type, n) in event order per partition; partitions interleave only
    in `arrivals`. n is 0, 1 or missing."""
    events = []
    for partition in draw(PARTITIONS):
        ts = draw(st.sampled_from([0, 0, 5, 100]))
        for _ in range(draw(st.integers(0, most))):
            ts += draw(STEPS)
            events.append((partition, ts, draw(st.sampled_from(types)),
                           draw(st.sampled_from([0, 1, 1, None]))))
    return events


def arrivals(draw, events, lateness, too_late=()):
    """The events in an order they may arrive in: each is delayed by at most `lateness` after
    its time (so none is late), except those for which `too_late(event)` holds, which may come
    up to 6 ticks later than that. Ties in arrival fall in a random order, so events of equal
    time arrive in any order and partitions interleave."""
    keys = []
    for event in events:
        slack = lateness + (6 if too_late and too_late(event) else 0)
        keys.append(event[1] + draw(st.integers(0, slack)))
    shuffle = draw(st.permutations(range(len(events))))
    return [events[i] for i in sorted(range(len(events)), key=lambda i: (keys[i], shuffle[i]))]


def cuts(draw, count):
    """Batch boundaries over `count` rows: [0, ..., count], sometimes with an empty batch."""
    style = draw(st.sampled_from(["ones", "random", "random", "whole"]))
    if style == "ones":
        inner = list(range(1, count))
    elif style == "whole":
        inner = []
    else:
        inner = [k for k in range(1, count) if draw(st.booleans())]
    bounds = [0, *inner, count]
    if count and draw(st.integers(0, 4)) == 0:  # an empty batch somewhere
        at = draw(st.integers(0, len(bounds) - 1))
        bounds.insert(at, bounds[at])
    return bounds


def table_of(events, ids=None, ts_type=pa.int64()):
    columns = {
        "partition": pa.array([e[0] for e in events], pa.string()),
        "ts": pa.array([e[1] for e in events], pa.int64()).cast(ts_type),
        "type": pa.array([e[2] for e in events], pa.string()),
        "n": pa.array([e[3] for e in events], pa.int64()),
    }
    if ids is not None:
        columns["id"] = pa.array(ids, pa.int64())
    return pa.table(columns)


def batches(table, bounds):
    return [table.slice(a, b - a) for a, b in zip(bounds, bounds[1:])]


def named_types(pattern):
    """The event types a pattern names (steps, alternatives, absences), or None where every
    event is kept: a step or an absence takes any type, or an anchor needs the partition's
    first or last event, whatever its type."""
    document = json.loads(vashlet.pattern(pattern).to_json() if isinstance(pattern, str)
                          else pattern.to_json())
    if document.get("anchored_start") or document.get("anchored_end"):
        return None
    names = set()
    for step in document["steps"]:
        atoms = [step["atom"], *step.get("alternatives", [])]
        atoms += (step.get("transition_from_previous") or {}).get("absence", [])
        for atom in atoms:
            if atom.get("any_type") or atom["event_type"] in ("", "*"):
                return None
            names.add(atom["event_type"])
    return names


def late_positions(arrived, lateness, named):
    """The positions of the late events of an arrival order: older than their partition's
    watermark (latest time seen of an event the pattern names, minus the lateness)."""
    latest, late = {}, []
    for k, (partition, ts, typ, _) in enumerate(arrived):
        if named is not None and typ not in named:
            continue
        if partition in latest and ts < latest[partition] - lateness:
            late.append(k)
        else:
            latest[partition] = max(latest.get(partition, ts), ts)
    return late


def keyed(rows, drop=("match",)):
    """A multiset of result rows, each without the columns `drop`."""
    return Counter(repr(sorted((k, v) for k, v in row.items() if k not in drop)) for row in rows)


class Collected:
    """What a stream handed back over a run: every match and near-miss row, in order, and the
    late rows."""

    def __init__(self):
        self.matches, self.near_misses, self.late, self.outputs = [], [], [], []

    def add(self, out):
        self.outputs.append(out)
        self.matches += out.to_pylist()
        if out.near_misses is not None:
            self.near_misses += out.near_misses.to_pylist()
        self.late += list(out.late)
        return out


def feed(stream, parts, collected=None):
    """Pushes every batch, then flushes; what came out."""
    collected = collected or Collected()
    for part in parts:
        collected.add(stream.push(part))
    collected.add(stream.flush())
    return collected


def assert_same(collected, pattern, table, *, explain=True, **options):
    """The stream's output equals the one-shot `match` (and `explain`) on the whole table, as
    multisets; `match` numbers run 0, 1, ... across the stream."""
    mode = options.pop("mode", None)
    max_matches = options.pop("max_matches", None)
    expected = vashlet.match(pattern, table, mode=mode, max_matches=max_matches, **options)
    same(keyed(collected.matches), keyed(expected.to_pylist()), "matches")
    assert [row["match"] for row in collected.matches] == list(range(len(collected.matches)))
    if explain:
        misses = vashlet.explain(pattern, table, mode=mode, **options)
        same(keyed(collected.near_misses, drop=()), keyed(misses.to_pylist(), drop=()),
             "near misses")


def same(streamed, expected, what):
    extra, missing = streamed - expected, expected - streamed
    assert not extra and not missing, (
        f"{what}: the stream gave {sorted(extra.elements())} beyond the one-shot result and "
        f"lacked {sorted(missing.elements())}")


def chain_atom(draw, bound, types="AAB"):
    items = []
    for _ in range(draw(st.sampled_from([0, 0, 1, 2]))):
        kind = draw(st.sampled_from(["literal", "capture"] + ["reference"] * (2 if bound else 0)))
        if kind == "capture":
            name = draw(st.sampled_from("uv"))
            bound.add(name)
            items.append(f"n as ${name}")
        elif kind == "reference":
            operator, name = draw(st.sampled_from(["==", "!="])), draw(st.sampled_from(sorted(bound)))
            items.append(f"n {operator} ${name}")
        else:
            items.append(f"n {draw(st.sampled_from(['==', '!=', '>=']))} {draw(st.integers(0, 1))}")
    typ = draw(st.sampled_from(types))
    return typ + (f"[{', '.join(items)}]" if items else "")


@st.composite
def chain_texts(draw, unit=""):
    """A pattern of the one-line notation over types A, B (and C in absences) and attribute n:
    windows (in `unit`), absences, captures and references."""
    bound = set()
    text = chain_atom(draw, bound)
    for _ in range(draw(st.integers(0, 2))):
        constraints = []
        window = draw(st.sampled_from([None, None, 0, 1, 2, 4]))
        if window is not None:
            constraints.append(f"<={window}{unit}")
        if draw(st.integers(0, 2)) == 0:
            absent = draw(st.sampled_from(["C", "A", "B"]))
            if bound and draw(st.booleans()):
                absent += f"[n == ${sorted(bound)[0]}]"
            constraints.append("no " + absent)
        arrow = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += arrow + chain_atom(draw, bound)
    return text


def taken(table, positions):
    return table.take(pa.array(positions, pa.int64()))
