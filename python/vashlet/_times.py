"""Times in result tables. The native table holds timestamps, dates, times and durations as the
integers of their Arrow type; here they become Python values (those pyarrow gives) and text:
ISO 8601 for instants, ``4m45s`` for durations on screen and ``PT4M45S`` in files."""

from __future__ import annotations

import datetime as dt
import functools
import re
from typing import Any, Callable, NamedTuple, Sequence

_PER_SECOND = {"s": 1, "m": 1_000, "u": 1_000_000, "n": 1_000_000_000}
_DIGITS = {"s": 0, "m": 3, "u": 6, "n": 9}
_EPOCH = dt.datetime(1970, 1, 1)
_EPOCH_DAY = dt.date(1970, 1, 1)
_OFFSET = re.compile(r"([+-])(\d\d):?(\d\d)$")


class TimeType(NamedTuple):
    kind: str  # "timestamp", "date", "time" or "duration"
    unit: str  # "s", "m", "u" or "n" (per _PER_SECOND); "D" for days
    tz: str | None = None
    scale: int = 1  # ticks per shown tick: text in whole seconds of a finer column


def time_type(arrow_format: str) -> TimeType | None:
    """The temporal type of an Arrow format string, or None for any other type."""
    head, unit = arrow_format[:2], arrow_format[2:3]
    if head == "ts" and unit in _PER_SECOND and arrow_format[3:4] == ":":
        return TimeType("timestamp", unit, arrow_format[4:] or None)
    if arrow_format == "tdD":
        return TimeType("date", "D")
    if arrow_format == "tdm":
        return TimeType("date", "m")
    if len(arrow_format) == 3 and unit in _PER_SECOND and head in ("tt", "tD"):
        return TimeType("time" if head == "tt" else "duration", unit)
    return None


def time_columns(names: Sequence[str], formats: Sequence[str]) -> dict[str, TimeType]:
    """The temporal columns among `names`, by name."""
    found = {}
    for name, arrow_format in zip(names, formats):
        kind = time_type(arrow_format)
        if kind is not None:
            found[name] = kind
    return found


def _converted(
    rows: list[dict[str, Any]], columns: dict[str, TimeType], convert: Callable[..., Any]
) -> list[dict[str, Any]]:
    for row in rows:
        for name, kind in columns.items():
            if row[name] is not None:
                row[name] = convert(kind, row[name])
    return rows


def _whole_seconds(rows: list[dict[str, Any]], columns: dict[str, TimeType]) -> dict[str, TimeType]:
    """As text, timestamps or times that are all whole seconds (start and end alike) leave
    out the fraction (marked by a scale); the unit's precision is kept otherwise."""
    instants = [n for n, k in columns.items() if k.kind in ("timestamp", "time") and k.unit != "s"]
    whole = all(
        row[name] is None or row[name] % _PER_SECOND[columns[name].unit] == 0
        for name in instants
        for row in rows
    )
    if not (instants and whole):
        return columns
    shown = dict(columns)
    for name in instants:
        shown[name] = columns[name]._replace(scale=_PER_SECOND[columns[name].unit])
    return shown


def python_rows(rows: list[dict[str, Any]], columns: dict[str, TimeType]) -> list[dict[str, Any]]:
    """`rows` with the values of temporal `columns` as pyarrow gives them (in place)."""
    return _converted(rows, columns, python_value)


def shown_rows(rows: list[dict[str, Any]], columns: dict[str, TimeType]) -> list[dict[str, Any]]:
    """`rows` with temporal values as text for the screen (in place)."""
    return _converted(rows, _whole_seconds(rows, columns), shown_text)


def file_rows(rows: list[dict[str, Any]], columns: dict[str, TimeType]) -> list[dict[str, Any]]:
    """`rows` with temporal values as ISO 8601 text, for CSV and JSON Lines (in place)."""
    return _converted(rows, _whole_seconds(rows, columns), file_text)


# ---------------------------------------------------------------------------------------------
# Python values, as pyarrow gives them

@functools.lru_cache(maxsize=None)
def _pandas() -> Any:
    try:
        import pandas
    except ImportError:
        return None
    return pandas


@functools.lru_cache(maxsize=64)
def _zone(name: str) -> dt.tzinfo:
    """A time zone as pyarrow makes it: a fixed offset, or a zoneinfo zone by name."""
    offset = _OFFSET.match(name)
    if offset:
        sign = -1 if offset.group(1) == "-" else 1
        hours, minutes = int(offset.group(2)), int(offset.group(3))
        return dt.timezone(sign * dt.timedelta(hours=hours, minutes=minutes))
    import zoneinfo

    return zoneinfo.ZoneInfo(name)


def _microseconds(kind: TimeType, value: int) -> int:
    """A nanosecond value in microseconds, refused (as pyarrow does) where that loses digits
    and pandas, which keeps them, is not installed."""
    if value % 1000:
        raise ValueError(
            f"the {kind.kind} {value} (nanoseconds) has digits below a microsecond, which a "
            "datetime cannot hold: install pandas to get them as pandas values, or read the "
            "table through pyarrow"
        )
    return value // 1000


def python_value(kind: TimeType, value: int) -> Any:
    if kind.kind == "date":
        days = value if kind.unit == "D" else value // 86_400_000
        return _EPOCH_DAY + dt.timedelta(days=days)
    if kind.kind == "time":
        micros = value * 1_000_000 // _PER_SECOND[kind.unit]
        hours, rest = divmod(micros, 3_600_000_000)
        minutes, rest = divmod(rest, 60_000_000)
        seconds, micros = divmod(rest, 1_000_000)
        return dt.time(hours, minutes, seconds, micros)
    pandas = _pandas() if kind.unit == "n" else None
    if kind.kind == "duration":
        if pandas is not None:
            return pandas.Timedelta(value, unit="ns")
        return dt.timedelta(microseconds=_span_microseconds(kind, value))
    if pandas is not None:
        stamp = pandas.Timestamp(value, unit="ns", tz="UTC" if kind.tz else None)
        return stamp.tz_convert(_zone(kind.tz)) if kind.tz else stamp
    naive = _EPOCH + dt.timedelta(microseconds=_span_microseconds(kind, value))
    if kind.tz is None:
        return naive
    return naive.replace(tzinfo=dt.timezone.utc).astimezone(_zone(kind.tz))


def _span_microseconds(kind: TimeType, value: int) -> int:
    if kind.unit == "n":
        return _microseconds(kind, value)
    return value * (1_000_000 // _PER_SECOND[kind.unit])


# ---------------------------------------------------------------------------------------------
# Text

def _in_seconds(kind: TimeType, value: int) -> tuple[TimeType, int]:
    if kind.scale == 1:
        return kind, value
    return kind._replace(unit="s", scale=1), value // kind.scale


def shown_text(kind: TimeType, value: int) -> str:
    return duration_text(kind.unit, value) if kind.kind == "duration" else instant_text(kind, value)


def file_text(kind: TimeType, value: int) -> str:
    return iso_duration(kind.unit, value) if kind.kind == "duration" else instant_text(kind, value)


def _fraction(ticks: int, unit: str) -> str:
    digits = _DIGITS[unit]
    return f".{ticks:0{digits}d}" if digits else ""


def _clock(seconds: int) -> str:
    hours, rest = divmod(seconds, 3600)
    return f"{hours:02d}:{rest // 60:02d}:{rest % 60:02d}"


def _day(day: dt.date) -> str:
    return f"{day.year:04d}-{day.month:02d}-{day.day:02d}"


def _offset(delta: dt.timedelta | None) -> str:
    seconds = int(delta.total_seconds()) if delta is not None else 0
    sign = "-" if seconds < 0 else "+"
    hours, rest = divmod(abs(seconds), 3600)
    text = f"{sign}{hours:02d}:{rest // 60:02d}"
    return text + (f":{rest % 60:02d}" if rest % 60 else "")


def instant_text(kind: TimeType, value: int) -> str:
    """A timestamp, date or time in ISO 8601, in the column's precision; a timestamp with a time
    zone in that zone's local time with its offset. Values no calendar holds stay integers."""
    kind, value = _in_seconds(kind, value)
    try:
        if kind.kind == "time":
            seconds, ticks = divmod(value, _PER_SECOND[kind.unit])
            return _clock(seconds) + _fraction(ticks, kind.unit)
        if kind.kind == "date" and (kind.unit == "D" or value % 86_400_000 == 0):
            days = value if kind.unit == "D" else value // 86_400_000
            return _day(_EPOCH_DAY + dt.timedelta(days=days))
        seconds, ticks = divmod(value, _PER_SECOND[kind.unit])
        moment = _EPOCH + dt.timedelta(seconds=seconds)
        offset = ""
        if kind.tz is not None:
            try:
                zone = _zone(kind.tz)
            except Exception:  # a zone this machine does not know: the instant, in UTC
                offset = "Z"
            else:
                moment = moment.replace(tzinfo=dt.timezone.utc).astimezone(zone)
                offset = _offset(moment.utcoffset())
        clock = _clock(moment.hour * 3600 + moment.minute * 60 + moment.second)
        return f"{_day(moment.date())}T{clock}{_fraction(ticks, kind.unit)}{offset}"
    except (OverflowError, ValueError):
        return str(value)


def _parts(unit: str, value: int) -> tuple[str, int, list[tuple[int, str]]]:
    """The sign, the whole seconds and the parts below a second of a duration."""
    sign = "-" if value < 0 else ""
    seconds, ticks = divmod(abs(value), _PER_SECOND[unit])
    nanos = ticks * (1_000_000_000 // _PER_SECOND[unit])
    millis, rest = divmod(nanos, 1_000_000)
    return sign, seconds, [(millis, "ms"), (rest // 1000, "us"), (rest % 1000, "ns")]


def duration_text(unit: str, value: int) -> str:
    """A duration as a pattern window is written: ``4m45s``, ``1d2h``, ``250ms``, ``0s``."""
    sign, seconds, below = _parts(unit, value)
    days, rest = divmod(seconds, 86400)
    whole = [(days, "d"), (rest // 3600, "h"), (rest % 3600 // 60, "m"), (rest % 60, "s")]
    text = "".join(f"{n}{name}" for n, name in whole + below if n)
    return sign + (text or "0s")


def iso_duration(unit: str, value: int) -> str:
    """A duration in ISO 8601: ``PT4M45S``, ``P1DT2H``, ``PT0.25S``, ``PT0S``."""
    sign, seconds, _ = _parts(unit, value)
    ticks = abs(value) % _PER_SECOND[unit]
    days, rest = divmod(seconds, 86400)
    hours, minutes, secs = rest // 3600, rest % 3600 // 60, rest % 60
    fraction = _fraction(ticks, unit).rstrip("0").rstrip(".") if ticks else ""
    clock = "".join(f"{n}{name}" for n, name in ((hours, "H"), (minutes, "M")) if n)
    if secs or fraction or not (days or clock):
        clock += f"{secs}{fraction}S"
    return f"{sign}P{f'{days}D' if days else ''}{'T' + clock if clock else ''}"
