"""An independent statement of what a pattern of the language matches, for tests: every strictly
increasing index tuple of a run with every assignment of elements, checked against the
definition in docs/language.md; `first` keeps the one assignment the walk rules select."""

import itertools
import operator

OPERATORS = {"Eq": operator.eq, "NotEq": operator.ne, "Gt": operator.gt, "Gte": operator.ge,
             "Lt": operator.lt, "Lte": operator.le}

# A pattern here: {"elements": [element], "within": int|None, "start": bool, "end": bool}
# element: {"branches": [atom], "min": int, "max": int|None, "gap": (max, min, [atom]) | None}
# atom: {"type": str|None (any), "preds": [(attr, op, value)], "refs": [(attr, op, name)],
#        "caps": [(name, attr)]}; events carry int attributes only.


def accepts(atom, event, bound):
    if atom["type"] is not None and event.typ != atom["type"]:
        return False
    attrs = event.attrs
    for attr, op, value in atom["preds"]:
        if attr not in attrs or not OPERATORS[op](attrs[attr], value):
            return False
    for attr, op, name in atom["refs"]:
        if attr not in attrs or name not in bound or not OPERATORS[op](attrs[attr], bound[name]):
            return False
    seen = dict(bound)
    for name, attr in atom["caps"]:
        value = attrs.get(attr)
        if name in seen and seen[name] != value:
            return False
        seen.setdefault(name, value)
    return True


def captured(atom, event, bound):
    out = dict(bound)
    for name, attr in atom["caps"]:
        out.setdefault(name, event.attrs.get(attr))
    return out


def branch(element, event, bound):
    for k, atom in enumerate(element["branches"]):
        if accepts(atom, event, bound):
            return k
    return None


def transition_holds(pattern, e, run, frm, to, bound):
    if e == 0:
        return True
    most, least, absent = pattern["elements"][e]["gap"]
    gap = run[to].ts - run[frm].ts
    if most is not None and gap > most:
        return False
    if least is not None and gap < least:
        return False
    return not any(accepts(a, run[j], bound) for j in range(frm + 1, to) for a in absent)


def complete(pattern, e, count):
    elements = pattern["elements"]
    return count >= elements[e]["min"] and all(x["min"] == 0 for x in elements[e + 1:])


def check(pattern, run, idx, els):
    """The bindings of a match of the definition, or None when (idx, els) is not one."""
    elements = pattern["elements"]
    if els[0] != 0 or any(b < a for a, b in zip(els, els[1:])):
        return None
    for e, element in enumerate(elements):
        count = els.count(e)
        if count < element["min"] or (element["max"] is not None and count > element["max"]):
            return None
    bound = {}
    for t, (i, e) in enumerate(zip(idx, els)):
        if t and not transition_holds(pattern, els[t], run, idx[t - 1], i, bound):
            return None
        k = branch(elements[e], run[i], bound)
        if k is None:
            return None
        bound = captured(elements[e]["branches"][k], run[i], bound)
    if pattern["within"] is not None and run[idx[-1]].ts - run[idx[0]].ts > pattern["within"]:
        return None
    if pattern["start"] and idx[0] != 0:
        return None
    if pattern["end"] and idx[-1] != len(run) - 1:
        return None
    return bound


def all_matches(pattern, run, longest=None):
    """(idx, els, bindings) of every match in one run, in the documented order."""
    n_el = len(pattern["elements"])
    found = []
    for size in range(1, (longest or len(run)) + 1):
        for idx in itertools.combinations(range(len(run)), size):
            for els in itertools.combinations_with_replacement(range(n_el), size):
                bound = check(pattern, run, idx, list(els))
                if bound is not None:
                    found.append((idx, els, bound))
    return sorted(found, key=lambda m: (m[0], m[1]))


def role(pattern, run, state, start, j):
    """The element the walk in `state` takes run[j] as, or None (skipped)."""
    elements = pattern["elements"]
    e, count, last, bound = state
    if pattern["within"] is not None and run[j].ts - run[start].ts > pattern["within"]:
        return None

    def fits(target, count_after):
        if not transition_holds(pattern, target, run, last, j, bound):
            return False
        if pattern["end"] and complete(pattern, target, count_after) and j != len(run) - 1:
            return False
        return branch(elements[target], run[j], bound) is not None

    if count >= elements[e]["min"]:
        for target in range(e + 1, len(elements)):
            if fits(target, 1):
                return target
            if elements[target]["min"] > 0:
                break
    if (elements[e]["max"] is None or count < elements[e]["max"]) and fits(e, count + 1):
        return e
    return None


def walk_selects(pattern, run, idx, els):
    """True when the `first` walk from idx[0] takes exactly (idx, els)."""
    elements = pattern["elements"]
    bound = captured(elements[0]["branches"][branch(elements[0], run[idx[0]], {})], run[idx[0]], {})
    state = (0, 1, idx[0], bound)
    for t in range(1, len(idx) + 1):
        e, count, last, bound = state
        done = complete(pattern, e, count) and (not pattern["end"] or last == len(run) - 1)
        if done:
            return t == len(idx)
        if t == len(idx):
            return False
        if any(role(pattern, run, state, idx[0], j) is not None for j in range(last + 1, idx[t])):
            return False
        if role(pattern, run, state, idx[0], idx[t]) != els[t]:
            return False
        k = branch(elements[els[t]], run[idx[t]], bound)
        bound = captured(elements[els[t]]["branches"][k], run[idx[t]], bound)
        state = (els[t], count + 1 if els[t] == e else 1, idx[t], bound)
    return False


def matches(pattern, run, mode):
    """(idx, els, bindings) of the run's matches in `mode` ("first", "all", "non_overlapping")."""
    every = all_matches(pattern, run)
    if mode == "all":
        return every
    first = [m for m in every if walk_selects(pattern, run, m[0], m[1])]
    if mode == "first":
        return first
    chosen, free_from = [], 0
    for m in first:
        if m[0][0] >= free_from:
            chosen.append(m)
            free_from = m[0][-1] + 1
    return chosen
