"""vashlet.dask on a distributed LocalCluster of two worker processes."""

import os

import pytest

pytest.importorskip("dask.dataframe", reason="the dask extra is not installed")
pytest.importorskip("distributed", reason="the dask extra is not installed")

from engine_data import FUNNEL, as_set, funnel_table, local_result  # noqa: E402

import vashlet.dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    # Worker processes import vashlet as this one does, from an in-tree build or an install.
    package_root = os.path.dirname(os.path.dirname(vashlet.__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")])
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def table():
    return funnel_table()


@pytest.fixture(scope="module")
def events(client, table):
    import dask.dataframe as dd

    return dd.from_pandas(table.to_pandas(), npartitions=5)


def plain(frame):
    return [{k: (v.tolist() if hasattr(v, "tolist") else v) for k, v in row.items()}
            for row in frame.to_dict("records")]


@pytest.mark.parametrize(
    "kind, options",
    [("match", {}), ("match", {"exhaustive": True}), ("explain", {})],
)
def test_results_equal_the_one_machine_result(events, table, kind, options):
    call = vashlet.dask.match if kind == "match" else vashlet.dask.explain
    result = call(FUNNEL, events, partition="user", id="eid", **options)
    assert result.npartitions > 1
    expected = local_result(kind, table, **options)
    assert len(expected) >= 5
    assert as_set(plain(result.compute())) == as_set(expected)


@pytest.mark.parametrize("kind", ["match", "explain"])
def test_the_data_first_order_still_works_but_warns(events, kind):
    call = getattr(vashlet.dask, kind)
    with pytest.warns(DeprecationWarning, match=rf"vashlet.dask.{kind}\(df, pattern\) is deprecated"):
        old = call(events, FUNNEL, partition="user", id="eid")
    new = call(FUNNEL, events, partition="user", id="eid")
    assert as_set(plain(old.compute())) == as_set(plain(new.compute()))


@pytest.mark.parametrize(
    "options, error, column",
    [
        ({"id": "nope"}, ValueError, "nope"),
        ({"ts": "type"}, TypeError, "type"),
        ({"id": "eid", "partition": "missing"}, ValueError, "missing"),
    ],
)
def test_bad_columns_are_refused_at_once(events, options, error, column):
    options = {"partition": "user", "id": "eid", **options}
    with pytest.raises(error, match=f"'{column}'"):
        vashlet.dask.match(FUNNEL, events, **options)


def test_null_key_on_a_worker_names_the_column_and_row(events):
    broken = events.assign(user=events.user.where(events.eid != "e00007", None))
    with pytest.raises(ValueError, match="column 'user' is null in the row whose 'eid' is 'e00007'"):
        vashlet.dask.match(FUNNEL, broken, partition="user", id="eid").compute()


def test_id_is_required(events):
    with pytest.raises(TypeError, match="id must name a column"):
        vashlet.dask.match(FUNNEL, events, partition="user", id=None)
