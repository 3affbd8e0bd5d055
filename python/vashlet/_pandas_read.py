"""What a pandas DataFrame hands the native reader: the columns a read takes, exported as pandas
exports a frame, with its floating-point columns converted faster."""

from __future__ import annotations

import sys
from typing import Any

from vashlet._core import Pattern
from vashlet._inputs import Columns

# Rows from which a frame's floating-point columns are converted by `exported` instead of by
# pandas' own export: below it, the conversion's fixed cost (about a tenth of a millisecond)
# outweighs the scan it saves.
FLOAT_EXPORT_ROWS = 1 << 15


def is_frame(data: object) -> bool:
    """Whether `data` is a pandas DataFrame: never where pandas was not imported (nor is it
    imported to tell)."""
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(data, getattr(pandas, "DataFrame", ()))


def columns_read(frame: Any, columns: Columns, pattern: Pattern) -> Any:
    """`frame`, or where it has columns that a read of `pattern` does not take, the frame of
    those it takes. pandas converts every column of a frame it exports: a column no pattern
    reads would cost its conversion, and one that cannot be converted (Python objects of mixed
    kinds) would fail the read. A frame that lacks a column the read takes goes whole, so that
    the reader names the columns it does have."""
    if getattr(frame.columns, "nlevels", 1) != 1:
        return frame
    read = columns.read_of(pattern)
    labels = list(frame.columns)
    # A frame's columns are named in Arrow by their labels as text.
    kept = [label for label in labels if str(label) in read]
    if len(kept) == len(labels) or not read <= {str(label) for label in kept}:
        return frame
    return frame[list(dict.fromkeys(kept))]


def exported(frame: Any) -> Any:
    """`frame` as pandas exports it (pyarrow's `Table.from_pandas` with its defaults), as a
    pyarrow Table, where it is long enough and has columns of numpy floats; else the frame
    itself. pandas hands each such column to pyarrow, which looks at every value for NaN (a
    missing value, exported as null) at about 4 ns a value; numpy finds them in a tenth of
    that, and a column without any is then exported without a copy. The Table is the one
    pandas' export gives but for its pandas metadata, which the reader does not read."""
    if len(frame) < FLOAT_EXPORT_ROWS or getattr(frame.columns, "nlevels", 1) != 1:
        return frame
    import numpy as np

    floats = [at for at, dtype in enumerate(frame.dtypes)
              if isinstance(dtype, np.dtype) and dtype.kind == "f" and dtype.itemsize in (4, 8)
              and dtype.isnative]
    names = [str(label) for label in frame.columns]
    # Columns of one name are left to pandas, which refuses them as it always did; and a frame
    # of floats alone has no column of event types to read.
    if not floats or len(floats) == len(names) or len(set(names)) != len(names):
        return frame
    try:
        import pyarrow as pa
    except ImportError:  # pandas' export then says what it needs, whatever the frame's length
        return frame

    taken = set(floats)
    others = [label for at, label in enumerate(frame.columns) if at not in taken]
    # The index, where pandas exports it, follows the columns: the floats go back in place.
    table = pa.Table.from_pandas(frame, columns=others)
    for at in floats:
        values = frame.iloc[:, at].to_numpy()
        missing = np.isnan(values)
        array = pa.array(values, mask=missing) if missing.any() else pa.array(values)
        table = table.add_column(at, names[at], array)
    return table


def for_reading(data: object, columns: Columns, pattern: Pattern) -> object:
    """`data`, or where it is a pandas DataFrame, the columns a read of `pattern` with
    `columns` takes (`columns_read`), exported (`exported`)."""
    if not is_frame(data):
        return data
    return exported(columns_read(data, columns, pattern))
