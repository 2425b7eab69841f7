"""zyl_profile.dask.query on a local cluster of two worker processes against
the query over the one file the shards were cut from."""

import subprocess
import sys

import pytest

import zyl_profile as zp
from conftest import split
from test_query import as_json
from zyl_profile import _zyl_profile_testing as testing

distributed = pytest.importorskip("distributed")
# Debian's tornado warns about its own event loop setup under distributed.
pytestmark = pytest.mark.filterwarnings(
    "ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def client():
    # Worker processes are spawned and inherit the environment, PYTHONPATH
    # included, so they import the same zyl_profile.
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


@pytest.fixture(scope="module")
def sharded(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sharded")
    whole = folder / "whole.zpk"
    testing.generate(str(whole), tiles=24, samples_per_tile=120, seed=9)
    return whole, split(whole, folder / "shard", 8)


@pytest.mark.parametrize("kwargs", [
    {},
    {"group_by": "tile", "sample_limit": 12, "limit": None},
    {"group_by": "phase", "from_offset": "20%", "to_offset": "75%",
     "sample_limit": 5},
    {"group_by": "metadata", "metadata_key": "block", "at_offset": "50%"},
    {"kind": "compute", "sort_by": "maximum_cycles", "tiles": range(0, 24, 3)},
    # Empty answers, whose notes need a second round of the workers.
    {"kernel": "Matmul_0", "tiles": [3, 99]},
    {"kind": "idle", "phases": [1], "metadata_key": "block"},
])
def test_cluster_answers_as_the_whole(client, sharded, kwargs):
    whole, shards = sharded
    assert len(shards) == 8
    expected = as_json(zp.open(whole).query(**kwargs))
    answer = zp.dask.query(client, shards, **kwargs)
    assert as_json(answer) == expected
    assert answer.notes == zp.open(whole).query(**kwargs).notes


def test_an_incomplete_set_is_refused_before_any_task(client, sharded):
    _, shards = sharded
    with pytest.raises(zp.ReportError, match="shard 3 of 8 is missing; give "
                       "every shard, or concatenate=True to read only these"):
        zp.dask.query(client, [*shards[:3], *shards[4:]])


def test_a_shard_no_worker_can_read_raises_its_report_error(client, sharded,
                                                            tmp_path):
    _, shards = sharded
    absent = tmp_path / "absent.zpk"
    with pytest.raises(zp.ReportError) as caught:
        zp.dask.query(client, [*shards[:3], absent])
    assert caught.value.file == str(absent)


class NoCluster:
    """A client that fails the test if anything is submitted."""

    def submit(self, *args, **kwargs):
        raise AssertionError("a task was submitted")

    map = submit


@pytest.mark.parametrize("client_, paths, kwargs, error, text", [
    (NoCluster(), ["a.zpk"], {"group_by": "kernal"}, ValueError, "kind, kernel"),
    (NoCluster(), ["a.zpk"], {"from_offset": "25"}, ValueError, "percentage"),
    (NoCluster(), ["a.zpk"], {"colour": "red"}, TypeError, "colour"),
    (NoCluster(), [], {}, ValueError, "at least one shard"),
    ("tcp://host:8786", ["a.zpk"], {}, TypeError, "distributed.Client"),
])
def test_arguments_are_checked_before_any_task(client_, paths, kwargs, error,
                                               text):
    with pytest.raises(error, match=text):
        zp.dask.query(client_, paths, **kwargs)


def test_importing_the_package_needs_no_dask():
    code = ("import sys, zyl_profile, zyl_profile.dask; "
            "assert zyl_profile.dask.query; "
            "assert 'distributed' not in sys.modules and 'dask' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
