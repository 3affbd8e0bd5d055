"""Find logins followed within 300 s by a purchase of the same user, and explain the rest."""

import json
from pathlib import Path

import vashlet

PATTERN = (
    'login[user as $u, country == "NZ"] '
    "-[<=300, no logout[user == $u]]-> "
    "purchase[user == $u, amount >= 10.5]"
)


def load_events(path: Path) -> list[vashlet.Event]:
    """The events of the file in the order they were written (vashlet sorts them itself)."""
    rows = json.loads(path.read_text())
    return [vashlet.Event(r["partition"], r["ts"], r["typ"], r["attrs"]) for r in rows]


def main() -> None:
    events = load_events(Path(__file__).with_name("shop_events.json"))
    print(f"pattern: {PATTERN}\n")
    print(vashlet.match(PATTERN, events))
    print()
    misses = vashlet.explain(PATTERN, events)
    print("\nwhy each start did not match:")
    shown = ("event_row", "candidate_row", "blocking_row", "blocking_event_type", "gap", "failures")
    for miss in misses:
        detail = {key: miss[key] for key in shown if miss[key] is not None}
        print(f"  row {miss['start_row']} ({miss['partition']}): {miss['reason']} {detail}")


if __name__ == "__main__":
    main()
