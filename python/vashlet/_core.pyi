from typing import Sequence, SupportsIndex, final

__all__ = ["Event", "sort_events"]

# Attribute values arrive as these types (objects with __index__ or __float__ are read as int
# or float) and come back as exactly these types.
AttributeValue = str | int | float | bool | None

@final
class Event:
    """A single typed, timestamped event within a partition."""

    def __new__(
        cls,
        partition: str,
        ts: SupportsIndex,
        typ: str,
        attrs: dict[str, AttributeValue] | None = None,
    ) -> Event: ...
    @property
    def partition(self) -> str: ...
    @property
    def ts(self) -> int: ...
    @property
    def typ(self) -> str: ...
    @property
    def attrs(self) -> dict[str, AttributeValue]: ...

def sort_events(events: Sequence[Event]) -> list[Event]:
    """Return a copy of `events` sorted by partition then `(timestamp, input order)`."""
