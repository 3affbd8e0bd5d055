"""A plain Python statement of the near-miss analysis, used as a test oracle on small inputs.

Patterns are read in their JSON form (``json.loads(pattern.to_json())``), events are ``Event``
objects. The search is the literal one: every admissible path from every start, no memo, no
pruning, so only small inputs are practical. Results have the shape of the ``NearMiss`` getters,
with ``detail`` dicts keyed in the order the module uses.
"""

import struct

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

SYMBOLS = {"Eq": "==", "NotEq": "!=", "Gt": ">", "Gte": ">=", "Lt": "<", "Lte": "<="}


# ---------------------------------------------------------------------------------------------
# Values: Python None, bool, int, float and str stand for Null, Bool, Int, Float and String.


def kind(value):
    if value is None:
        return "Null"
    kinds = {bool: "Bool", int: "Int", float: "Float", str: "String"}
    return kinds[type(value)]


def is_numeric(value):
    return kind(value) in ("Int", "Float")


def values_equal(left, right):
    if is_numeric(left) and is_numeric(right):
        if kind(left) == kind(right) == "Int":
            return left == right
        # An Int meets a Float as the nearest double; float() rounds to nearest, ties to even.
        return float(left) == float(right)
    return strictly_equal(left, right)


def strictly_equal(left, right):
    # Same kind and same payload; for floats IEEE equality, so a NaN equals nothing.
    return kind(left) == kind(right) and left == right


def compare(op, left, right):
    if op == "Eq":
        return values_equal(left, right)
    if op == "NotEq":
        return not values_equal(left, right)
    if not (is_numeric(left) and is_numeric(right)):
        return False
    if not (kind(left) == kind(right) == "Int"):
        left, right = float(left), float(right)
    return {
        "Gt": left > right,
        "Gte": left >= right,
        "Lt": left < right,
        "Lte": left <= right,
    }[op]


def literal(document):
    """A value of the pattern JSON form as a Python value."""
    if document == "Null" or document == {"Null": None}:
        return None
    ((name, payload),) = document.items()
    if name == "Float":
        if payload is None:
            raise ValueError("a NaN or infinite literal does not survive the JSON form")
        return float(payload)
    return payload


# ---------------------------------------------------------------------------------------------
# Atoms and transitions


class Ev:
    """The fields of one Event, read once."""

    def __init__(self, event):
        self.partition = event.partition
        self.ts = event.ts
        self.typ = event.typ
        self.attrs = event.attrs


MISSING = object()


def evaluate(atom, event, bindings):
    """The bindings extended by the atom's captures, or None when the event fails the atom."""
    if event.typ != atom["event_type"]:
        return None
    for predicate in atom["predicates"]:
        actual = event.attrs.get(predicate["attribute"], MISSING)
        if actual is MISSING or not compare(predicate["operator"], actual, literal(predicate["value"])):
            return None
    for reference in atom["reference_predicates"]:
        actual = event.attrs.get(reference["attribute"], MISSING)
        bound = bindings.get(reference["binding"], MISSING)
        if actual is MISSING or bound is MISSING or not compare(reference["operator"], actual, bound):
            return None
    extended = dict(bindings)
    for capture in atom["captures"]:
        value = event.attrs.get(capture["attribute"])
        if capture["name"] in extended:
            if not strictly_equal(extended[capture["name"]], value):
                return None
        else:
            extended[capture["name"]] = value
    return extended


def window_exceeded(earlier_ts, later_ts, max_elapsed):
    return max_elapsed is not None and later_ts - earlier_ts > max_elapsed


def forbidden(transition, event, bindings):
    return any(evaluate(atom, event, bindings) is not None for atom in transition["absence"])


def transition_allows(events, origin, to, transition, bindings):
    if events[to].ts < events[origin].ts:
        return False
    if window_exceeded(events[origin].ts, events[to].ts, transition["max_elapsed"]):
        return False
    return not any(forbidden(transition, events[j], bindings) for j in range(origin + 1, to))


# ---------------------------------------------------------------------------------------------
# The search


def deepest_path(events, run_end, steps, k, path, bindings):
    if k == len(steps):
        return path, bindings
    last = path[-1]
    transition = steps[k]["transition_from_previous"]
    best = None
    for j in range(last + 1, run_end):
        if not transition_allows(events, last, j, transition, bindings):
            continue
        extended = evaluate(steps[k]["atom"], events[j], bindings)
        if extended is None:
            continue
        child = deepest_path(events, run_end, steps, k + 1, path + [j], extended)
        if best is None or len(child[0]) > len(best[0]) or (
            len(child[0]) == len(best[0]) and child[0] < best[0]
        ):
            best = child
    return best if best is not None else (path, bindings)


# ---------------------------------------------------------------------------------------------
# Classification


def saturated(number):
    return max(INT64_MIN, min(INT64_MAX, number))


def failed_clauses(atom, event, bindings):
    failures = []
    for predicate in atom["predicates"]:
        actual = event.attrs.get(predicate["attribute"], MISSING)
        expected = literal(predicate["value"])
        if actual is MISSING or not compare(predicate["operator"], actual, expected):
            failures.append({
                "type": "predicate",
                "attribute": predicate["attribute"],
                "operator": SYMBOLS[predicate["operator"]],
                "expected": expected,
                "actual": None if actual is MISSING else actual,
            })
    for reference in atom["reference_predicates"]:
        actual = event.attrs.get(reference["attribute"], MISSING)
        bound = bindings.get(reference["binding"], MISSING)
        if actual is MISSING or bound is MISSING or not compare(reference["operator"], actual, bound):
            failures.append({
                "type": "reference",
                "attribute": reference["attribute"],
                "operator": SYMBOLS[reference["operator"]],
                "binding": reference["binding"],
                "bound": None if bound is MISSING else bound,
                "actual": None if actual is MISSING else actual,
            })
    # The atom's own captures are not applied while judging.
    for capture in atom["captures"]:
        if capture["name"] not in bindings:
            continue
        bound = bindings[capture["name"]]
        actual = event.attrs.get(capture["attribute"])
        if not strictly_equal(actual, bound):
            failures.append({
                "type": "capture",
                "name": capture["name"],
                "attribute": capture["attribute"],
                "bound": bound,
                "actual": actual,
            })
    return failures


def classify(events, run_end, step, last, bindings):
    if last + 1 >= run_end:
        return {"kind": "no_successor"}
    atom, transition = step["atom"], step["transition_from_previous"]
    late = blocked = None
    for j in range(last + 1, run_end):
        if events[j].typ != atom["event_type"]:
            continue
        if window_exceeded(events[last].ts, events[j].ts, transition["max_elapsed"]):
            if late is None:
                late = {
                    "kind": "window_exceeded",
                    "candidate_index": j,
                    "gap": saturated(events[j].ts - events[last].ts),
                    "max_elapsed": transition["max_elapsed"],
                }
            continue
        blocker = next(
            (k for k in range(last + 1, j) if forbidden(transition, events[k], bindings)), None
        )
        if blocker is not None:
            if blocked is None:
                blocked = {
                    "kind": "absence_blocked",
                    "candidate_index": j,
                    "blocking_index": blocker,
                    "blocking_event_type": events[blocker].typ,
                    "candidate_satisfies": evaluate(atom, events[j], bindings) is not None,
                }
            continue
        return {
            "kind": "predicate_failed",
            "event_index": j,
            "failures": failed_clauses(atom, events[j], bindings),
        }
    return blocked or late or {"kind": "no_successor"}


def near_misses(pattern, events):
    """Near misses as dicts: partition, start_index, indices, reached_steps, next_event_type,
    reason, detail, captures (names in ascending byte order)."""
    steps = pattern["steps"]
    events = [Ev(event) for event in events]
    result = []
    begin = 0
    while begin < len(events):
        end = begin + 1
        while end < len(events) and events[end].partition == events[begin].partition:
            end += 1
        for start in range(begin, end):
            bindings = evaluate(steps[0]["atom"], events[start], {})
            if bindings is None:
                continue
            path, bindings = deepest_path(events, end, steps, 1, [start], bindings)
            if len(path) == len(steps):
                continue
            detail = classify(events, end, steps[len(path)], path[-1], bindings)
            result.append({
                "partition": events[start].partition,
                "start_index": start,
                "indices": path,
                "reached_steps": len(path),
                "next_event_type": steps[len(path)]["atom"]["event_type"],
                "reason": detail["kind"],
                "detail": detail,
                "captures": {name: bindings[name] for name in sorted(bindings, key=str.encode)},
            })
        begin = end
    return result


# ---------------------------------------------------------------------------------------------
# Comparing results


def canonical(thing):
    """A form in which equal means identical: dicts keep their key order, values keep their
    kind, floats compare by bit pattern (so NaN equals NaN and -0.0 differs from 0.0)."""
    if isinstance(thing, dict):
        return [(key, canonical(value)) for key, value in thing.items()]
    if isinstance(thing, (list, tuple)):
        return [canonical(item) for item in thing]
    if isinstance(thing, float):
        return ("Float", struct.pack("<d", thing))
    return (kind(thing), thing)


def record(near_miss):
    """A NearMiss object in the form that near_misses returns."""
    return {
        "partition": near_miss.partition,
        "start_index": near_miss.start_index,
        "indices": near_miss.indices,
        "reached_steps": near_miss.reached_steps,
        "next_event_type": near_miss.next_event_type,
        "reason": near_miss.reason,
        "detail": near_miss.detail,
        "captures": near_miss.captures,
    }

