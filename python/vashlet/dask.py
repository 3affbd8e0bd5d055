"""`match(pattern, df)` and `explain(pattern, df)` over a Dask DataFrame, returning one.

The events are shuffled by partition so that each partition's events meet in one Dask
partition, sorted there by (partition, timestamp, id), and matched as one Arrow table per Dask
partition. Ties in time are taken in id order, so the result does not depend on the shuffle.
The result columns are pandas columns of Arrow types (`pandas.ArrowDtype`), as declared in the
`meta`; each Dask partition of events must fit a worker's memory.

The call is first run on no rows of the input's `meta`, so a missing column or one of an
unsupported type raises at once, naming the column; a null key is found on a worker and its
error, naming the column and the row's id, is raised by `compute()`.

Windows are read as `vashlet.match` reads them (see "Time" in the README): a window with a unit
on a timestamp column converts to its unit; on an integer column, `ts_unit` says what it counts.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import pandas as pd
import pyarrow as pa

from vashlet._scaleout import Plan, front_end

if TYPE_CHECKING:
    import dask.dataframe as dd

__all__ = ["match", "explain"]


def _run(df: dd.DataFrame, plan: Plan) -> dd.DataFrame:
    input_schema = pa.Schema.from_pandas(df._meta, preserve_index=False)
    result = plan.check(input_schema)
    meta = result.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    events = df[[name for name in plan.read_columns() if name in df.columns]]
    return events.shuffle(on=plan.columns.partition).map_partitions(
        _match_partition, plan, meta=meta, align_dataframes=False
    )


def _match_partition(frame: pd.DataFrame, plan: Plan) -> pd.DataFrame:
    frame = frame.sort_values([plan.columns.partition, plan.columns.ts, plan.id], kind="stable")
    table = pa.Table.from_pandas(frame, preserve_index=False)
    return plan.run(table).to_pandas(types_mapper=pd.ArrowDtype)


match, explain = front_end(_run, __name__, "a Dask DataFrame")
