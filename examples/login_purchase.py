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
    rows = json.loads(path.read_text())
    return [vashlet.Event(r["partition"], r["ts"], r["typ"], r["attrs"]) for r in rows]


def main() -> None:
    events = vashlet.sort_events(load_events(Path(__file__).with_name("shop_events.json")))
    pattern = vashlet.parse_pattern(PATTERN)

    print(f"pattern: {PATTERN}\n")
    print("matches:")
    for match in vashlet.match_events(pattern, events):
        print(f"  {match!r}  types={match.types}  captures={match.captures}")

    print("\nnear misses:")
    for miss in vashlet.near_miss_events(pattern, events):
        print(f"  {miss!r}")
        print(f"      detail={miss.detail}")


if __name__ == "__main__":
    main()
