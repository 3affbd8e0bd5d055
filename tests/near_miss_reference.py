"""A plain Python statement of the near-miss analysis, used as a test oracle on small inputs.

Patterns are read in their JSON form (``json.loads(pattern.to_json())``), events are ``Event``
objects. The search is the literal one: every admissible path from every start, no memo, no
pruning, so only small inputs are practical. Results have the shape of the ``NearMiss`` getters,
with ``detail`` dicts keyed in the order the module uses.
"""

import struct

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
SYMBOLS = {"Eq": "==", "NotEq": "!=", "Gt": ">", "Gte": ">=", "Lt": "<", "Lte": "<="}
MISSING = object()

# ---------------------------------------------------------------------------------------------
# Values: Python None, bool, int, float and str stand for Null, Bool, Int, Float and String.


def kind(value):
    if value is None:
        return "Null"
    return {bool: "Bool", int: "Int", float: "Float", str: "String"}[type(value)]


def is_numeric(value):
    return kind(value) in ("Int", "Float")


def strictly_equal(left, right):
    # Same kind and same payload; for floats IEEE equality, so a NaN equals nothing.
    return kind(left) == kind(right) and left == right


def compare(op, left, right):
    """A missing side fails every comparison. Numbers meet as doubles unless both are Int; other
    kinds are equal only when strictly equal, and never ordered."""
    if left is MISSING or right is MISSING:
        return False
    if not (is_numeric(left) and is_numeric(right)):
        return op in ("Eq", "NotEq") and strictly_equal(left, right) == (op == "Eq")
    if not kind(left) == kind(right) == "Int":
        left, right = float(left), float(right)  # float() rounds to nearest, ties to even
    return {"Eq": left == right, "NotEq": left != right, "Gt": left > right, "Gte": left >= right,
            "Lt": left < right, "Lte": left <= right}[op]


def literal(document):
    """A value of the pattern JSON form as a Python value."""
    if document == "Null" or document == {"Null": None}:
        return None
    ((name, payload),) = document.items()
    if name == "Float" and payload is None:
        raise ValueError("a NaN or infinite literal does not survive the JSON form")
    return float(payload) if name == "Float" else payload


# ---------------------------------------------------------------------------------------------
# Atoms and transitions


class Ev:
    """The fields of one Event, read once."""

    def __init__(self, event):
        self.partition, self.ts, self.typ, self.attrs = event.partition, event.ts, event.typ, event.attrs


def failed_comparisons(atom, event, bindings):
    """The predicate and reference failures of an event, as detail dicts."""
    failures = []
    for predicate in atom["predicates"]:
        actual, expected = event.attrs.get(predicate["attribute"], MISSING), literal(predicate["value"])
        if not compare(predicate["operator"], actual, expected):
            failures.append({"type": "predicate", "attribute": predicate["attribute"],
                             "operator": SYMBOLS[predicate["operator"]], "expected": expected,
                             "actual": None if actual is MISSING else actual})
    for reference in atom["reference_predicates"]:
        actual = event.attrs.get(reference["attribute"], MISSING)
        bound = bindings.get(reference["binding"], MISSING)
        if not compare(reference["operator"], actual, bound):
            failures.append({"type": "reference", "attribute": reference["attribute"],
                             "operator": SYMBOLS[reference["operator"]], "binding": reference["binding"],
                             "bound": None if bound is MISSING else bound,
                             "actual": None if actual is MISSING else actual})
    return failures


def evaluate(atom, event, bindings):
    """The bindings extended by the atom's captures, or None when the event fails the atom."""
    if event.typ != atom["event_type"] or failed_comparisons(atom, event, bindings):
        return None
    extended = dict(bindings)
    for capture in atom["captures"]:
        value = event.attrs.get(capture["attribute"])  # a missing attribute captures None
        if capture["name"] in extended and not strictly_equal(extended[capture["name"]], value):
            return None
        extended.setdefault(capture["name"], value)
    return extended


def window_exceeded(earlier_ts, later_ts, max_elapsed):
    return max_elapsed is not None and later_ts - earlier_ts > max_elapsed


def forbidden(transition, event, bindings):
    return any(evaluate(atom, event, bindings) is not None for atom in transition["absence"])


def transition_allows(events, origin, to, transition, bindings):
    return (events[to].ts >= events[origin].ts
            and not window_exceeded(events[origin].ts, events[to].ts, transition["max_elapsed"])
            and not any(forbidden(transition, events[j], bindings) for j in range(origin + 1, to)))


# ---------------------------------------------------------------------------------------------
# The search: the longest path, and among equally long ones the lexicographically smallest


def deepest_path(events, run_end, steps, path, bindings):
    k, last = len(path), path[-1]
    if k == len(steps):
        return path, bindings
    best = (path, bindings)
    for j in range(last + 1, run_end):
        if not transition_allows(events, last, j, steps[k]["transition_from_previous"], bindings):
            continue
        extended = evaluate(steps[k]["atom"], events[j], bindings)
        if extended is not None:
            child = deepest_path(events, run_end, steps, path + [j], extended)
            if len(child[0]) > len(best[0]) or (len(child[0]) == len(best[0]) and child[0] < best[0]):
                best = child
    return best


# ---------------------------------------------------------------------------------------------
# Classification


def failed_clauses(atom, event, bindings):
    # The atom's own captures are not applied while judging: each is checked against the path.
    failures = failed_comparisons(atom, event, bindings)
    for capture in atom["captures"]:
        actual = event.attrs.get(capture["attribute"])
        if capture["name"] in bindings and not strictly_equal(actual, bindings[capture["name"]]):
            failures.append({"type": "capture", "name": capture["name"], "attribute": capture["attribute"],
                             "bound": bindings[capture["name"]], "actual": actual})
    return failures


def classify(events, run_end, step, last, bindings):
    """The first candidate that is in time and not blocked is judged; else the first blocked one,
    else the first late one."""
    atom, transition = step["atom"], step["transition_from_previous"]
    late = blocked = None
    for j in range(last + 1, run_end):
        if events[j].typ != atom["event_type"]:
            continue
        if window_exceeded(events[last].ts, events[j].ts, transition["max_elapsed"]):
            gap = max(INT64_MIN, min(INT64_MAX, events[j].ts - events[last].ts))
            late = late or {"kind": "window_exceeded", "candidate_index": j, "gap": gap,
                            "max_elapsed": transition["max_elapsed"]}
            continue
        blocker = next((k for k in range(last + 1, j) if forbidden(transition, events[k], bindings)), None)
        if blocker is not None:
            blocked = blocked or {"kind": "absence_blocked", "candidate_index": j, "blocking_index": blocker,
                                  "blocking_event_type": events[blocker].typ,
                                  "candidate_satisfies": evaluate(atom, events[j], bindings) is not None}
            continue
        return {"kind": "predicate_failed", "event_index": j,
                "failures": failed_clauses(atom, events[j], bindings)}
    return blocked or late or {"kind": "no_successor"}


def near_misses(pattern, events):
    """Near misses as dicts with the fields of `record`, captures in ascending byte order of names."""
    steps = pattern["steps"]
    events = [Ev(event) for event in events]
    result = []
    for begin, end in runs(events):
        for start in range(begin, end):
            bindings = evaluate(steps[0]["atom"], events[start], {})
            if bindings is None:
                continue
            path, bindings = deepest_path(events, end, steps, [start], bindings)
            if len(path) == len(steps):
                continue
            detail = classify(events, end, steps[len(path)], path[-1], bindings)
            result.append({
                "partition": events[start].partition, "start_index": start, "indices": path,
                "reached_steps": len(path), "next_event_type": steps[len(path)]["atom"]["event_type"],
                "reason": detail["kind"], "detail": detail,
                "captures": {name: bindings[name] for name in sorted(bindings, key=str.encode)},
            })
    return result


def runs(events):
    """(begin, end) of each stretch of events of one partition, in order."""
    begin = 0
    while begin < len(events):
        end = begin + 1
        while end < len(events) and events[end].partition == events[begin].partition:
            end += 1
        yield begin, end
        begin = end


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
    names = ["partition", "start_index", "indices", "reached_steps", "next_event_type", "reason", "detail",
             "captures"]
    return {name: getattr(near_miss, name) for name in names}
