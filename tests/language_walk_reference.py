"""A plain Python statement of a language pattern's `first` walk and of how a start that does not
complete is explained, used as a test oracle. Patterns are read in their JSON form, events are
``Event`` objects; results have the shape of the ``NearMiss`` getters."""

import near_miss_reference as ref

NO_TRANSITION = {"max_elapsed": None, "absence": []}


def branches(step):
    return [step["atom"], *step.get("alternatives", [])]


def counts(step):
    return step.get("min_count", 1), step.get("max_count", 1)


def evaluate(atom, event, bindings):
    if atom.get("any_type"):
        atom = dict(atom, event_type=event.typ)
    return ref.evaluate(atom, event, bindings)


def taken_branch(step, event, bindings):
    for atom in branches(step):
        extended = evaluate(atom, event, bindings)
        if extended is not None:
            return extended
    return None


def fits_type(atom, event):
    return atom.get("any_type") or atom["event_type"] == event.typ


def transition_of(step):
    return step["transition_from_previous"] or NO_TRANSITION


def blocker(events, transition, last, j, bindings):
    absent = transition["absence"]
    return next((k for k in range(last + 1, j) if any(evaluate(a, events[k], bindings) is not None
                                                      for a in absent)), None)


def complete(steps, k, count):
    return count >= counts(steps[k])[0] and all(counts(s)[0] == 0 for s in steps[k + 1:])


def walk(pattern, events, begin, end, start):
    """(path of (index, element), element, count, bindings, completed), or None for no start."""
    steps, n = pattern["steps"], len(pattern["steps"])
    if pattern.get("anchored_start") and start != begin:
        return None
    bindings = taken_branch(steps[0], events[start], {})
    if bindings is None:
        return None
    at_end = lambda j, done: not (done and pattern.get("anchored_end") and j != end - 1)  # noqa: E731
    path, k, count = [(start, 0)], 0, 1
    done = complete(steps, 0, 1) and at_end(start, True)
    for j in range(start + 1, end):
        if done:
            break
        within = pattern.get("within")
        if within is not None and events[j].ts - events[start].ts > within:
            continue

        def take(e, after):
            t, gap = transition_of(steps[e]), events[j].ts - events[path[-1][0]].ts
            if e and (gap < 0 or (t["max_elapsed"] is not None and gap > t["max_elapsed"])
                      or gap < (t.get("min_elapsed") or 0)
                      or blocker(events, t, path[-1][0], j, bindings) is not None):
                return None
            if not at_end(j, complete(steps, e, after)):
                return None
            return taken_branch(steps[e], events[j], bindings)

        role = None
        if count >= counts(steps[k])[0]:
            for e in range(k + 1, n):
                extended = take(e, 1)
                if extended is not None:
                    role = (e, 1, extended)
                    break
                if counts(steps[e])[0] > 0:
                    break
        high = counts(steps[k])[1]
        if role is None and (high is None or count < high):
            extended = take(k, count + 1)
            if extended is not None:
                role = (k, count + 1, extended)
        if role is not None:
            k, count, bindings = role
            path.append((j, k))
            done = complete(steps, k, count)
    return path, k, count, bindings, done


def label(step):
    names = ["*" if a.get("any_type") else a["event_type"] for a in branches(step)]
    text = names[0] if len(names) == 1 else "(" + " | ".join(names) + ")"
    low, high = counts(step)
    if (low, high) == (1, 1):
        return text
    quantifier = {(1, None): "+", (0, 1): "?"}.get((low, high))
    if quantifier is None:
        quantifier = f"{{{low}}}" if low == high else f"{{{low},{'' if high is None else high}}}"
    return text + quantifier


def classify(pattern, events, end, w, start, last, bindings):
    """As the chain's classification, over the candidates of element `w` (any branch's type),
    with its minimum gap and the whole-match window."""
    steps = pattern["steps"]
    step, t = steps[w], transition_of(steps[w])
    completing = complete(steps, w, 1)
    late = blocked = None
    for j in range(last + 1, end):
        if not any(fits_type(a, events[j]) for a in branches(step)):
            continue
        if pattern.get("anchored_end") and completing and j != end - 1:
            continue
        gap = events[j].ts - events[last].ts
        if gap < (t.get("min_elapsed") or 0):
            continue
        if t["max_elapsed"] is not None and gap > t["max_elapsed"]:
            late = late or {"kind": "window_exceeded", "candidate_index": j, "gap": gap,
                            "max_elapsed": t["max_elapsed"]}
            continue
        within = pattern.get("within")
        if within is not None and events[j].ts - events[start].ts > within:
            late = late or {"kind": "window_exceeded", "candidate_index": j,
                            "gap": events[j].ts - events[start].ts, "max_elapsed": within}
            continue
        passes = taken_branch(step, events[j], bindings) is not None
        found = blocker(events, t, last, j, bindings)
        if found is not None:
            blocked = blocked or {"kind": "absence_blocked", "candidate_index": j, "blocking_index": found,
                                  "blocking_event_type": events[found].typ, "candidate_satisfies": passes}
            continue
        judge = next((a for a in branches(step) if evaluate(a, events[j], bindings) is not None), None)
        judge = judge or next(a for a in branches(step) if fits_type(a, events[j]))
        return {"kind": "predicate_failed", "event_index": j,
                "failures": ref.failed_clauses(dict(judge, event_type=events[j].typ), events[j], bindings)}
    return blocked or late or {"kind": "no_successor"}


def walks(pattern, events):
    """(start, run end, walk) for every start, in order."""
    for begin, end in ref.runs(events):
        for start in range(begin, end):
            walked = walk(pattern, events, begin, end, start)
            if walked is not None:
                yield start, end, walked


def near_misses(pattern, events):
    """One record per start whose walk does not complete, with the NearMiss getters' fields."""
    steps, events, result = pattern["steps"], [ref.Ev(e) for e in events], []
    for start, end, walked in walks(pattern, events):
        if walked[4]:
            continue
        path, k, count, bindings, _ = walked
        if count < counts(steps[k])[0]:
            element, detail = k, {"kind": "too_few", "count": count, "needed": counts(steps[k])[0]}
        else:
            element = next((e for e in range(k + 1, len(steps)) if counts(steps[e])[0] > 0),
                           len(steps) - 1)
            detail = classify(pattern, events, end, element, start, path[-1][0], bindings)
        result.append({
            "partition": events[start].partition, "start_index": start,
            "indices": [j for j, _ in path], "reached_steps": len(path),
            "next_event_type": label(steps[element]), "reason": detail["kind"], "detail": detail,
            "captures": {name: bindings[name] for name in sorted(bindings, key=str.encode)},
            "element": element, "elements": tuple(e for _, e in path),
        })
    return result


def record(near_miss):
    names = ["partition", "start_index", "indices", "reached_steps", "next_event_type", "reason", "detail",
             "captures", "element", "elements"]
    return {name: getattr(near_miss, name) for name in names}
