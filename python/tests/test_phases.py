"""Profile.phases and zp.phases against the library's reference model of
the phase balance, field by field, over one file, shards and files read as
given; the frame's types, an empty answer and keywords that do not apply."""

import random

import numpy as np
import pandas as pd
import pytest

import zyl_profile as zp
from conftest import KERNELS, OPERATIONS, random_report, split, write_report
from test_query import random_query
from zyl_profile._zyl_profile_testing import reference_phase_balance

# What shapes a query's groups and listing, which a balance refuses.
NOT_FILTERS = ("group_by", "sort_by", "metadata_key", "limit", "sample_limit")


def random_filters(rng, profile, kernels, operations):
    """Returns (keyword arguments, the library's Query) for random filters
    and a window; the Query is filled field by field by random_query, so a
    keyword that reached the wrong field shows as a wrong answer."""
    kwargs, query = random_query(rng, profile, kernels, operations)
    for name in NOT_FILTERS:
        kwargs.pop(name, None)
    return kwargs, query


def as_dict(balance):
    """Every field of the balance as plain values, doubles exactly."""
    return {
        "clock_hz": balance.clock_hz,
        "matched_sample_count": balance.matched_sample_count,
        "totals": (balance.totals.wait_cycles, balance.totals.busy_cycles,
                   balance.totals.tile_cycles),
        "rows": [{**{f: getattr(r, f) for f, _ in zp._PHASE_FIELDS},
                  "wait_measure": r.wait_measure.name} for r in balance.rows],
    }


def names_of(profile):
    kernels = [g.name for g in profile.query(group_by="kernel").groups
               if g.name != "(no kernel)"]
    operations = [g.name for g in profile.query(group_by="operation").groups]
    return kernels, operations


def test_random_filters_match_the_reference_model(profiles):
    rng = random.Random(20261210)
    for path in profiles:
        profile = zp.open(path)
        kernels, operations = names_of(profile)
        measures = set()
        for _ in range(30):
            kwargs, query = random_filters(rng, profile, kernels, operations)
            got = profile.phases(**kwargs)
            expected = reference_phase_balance([str(path)], query)
            assert as_dict(got) == as_dict(expected), (path, kwargs)
            measures |= {r.wait_measure.name for r in got.rows}
        # Both measures were compared, not just the common one.
        assert measures == {"synchronization", "imbalance"}, path


def test_random_reports_match_the_reference_model(tmp_path):
    # Empty tiles, timelines that wrap the counter, ties between tiles.
    rng = random.Random(4417)
    for round_ in range(10):
        report = random_report(rng, rng.randint(3, 12))
        path = write_report(tmp_path / f"r{round_}.json", report)
        profile = zp.open(path)
        for _ in range(8):
            kwargs, query = random_filters(rng, profile, KERNELS[1:], OPERATIONS)
            assert as_dict(profile.phases(**kwargs)) == as_dict(
                reference_phase_balance([str(path)], query)), (round_, kwargs)


def test_shards_answer_as_the_whole(profiles, tmp_path):
    rng = random.Random(88)
    for path in profiles:
        whole = zp.open(path)
        kernels, operations = names_of(whole)
        for count in (2, 3):
            shards = [str(s) for s in split(
                path, tmp_path / f"{path.stem}-{count}", count)]
            assert len(shards) == count
            rng.shuffle(shards)  # a set puts itself in order
            for _ in range(6):
                kwargs, query = random_filters(rng, whole, kernels, operations)
                got = zp.phases(shards, **kwargs)
                expected = reference_phase_balance([str(path)], query)
                assert as_dict(got) == as_dict(expected), (path, count, kwargs)


def test_a_tile_read_twice_counts_twice(profiles):
    path = str(profiles[0])
    once = zp.phases(path)
    twice = zp.phases([path, path], concatenate=True)
    assert as_dict(twice) == as_dict(
        reference_phase_balance([path, path], zp._ext.Query()))
    assert twice.matched_sample_count == 2 * once.matched_sample_count
    assert [r.tiles for r in twice.rows] == [2 * r.tiles for r in once.rows]
    # Without the keyword, two copies of one report are refused.
    with pytest.raises(zp.LoadError, match="concatenate=True"):
        zp.phases([path, path])


def test_frame_has_the_row_fields_typed_in_the_engine_order(tmp_path):
    # Tile 4 holds up phase 0 (no synchronization: the others idle behind
    # it); in phase 1 the tiles synchronized, and the wait is what that took.
    def sample(start, end, phase, kind, kernel=""):
        return {"start_cycle": start, "end_cycle": end,
                "step": {"local_index": 0, "phase": phase, "epoch": 0,
                         "operation": "op", "kind": kind, "kernel": kernel,
                         "metadata": []}}
    report = {"format": "zyl-profile-report", "version": 1, "clock_hz": 1000,
              "tiles": [
                  {"physical_tile": 4, "samples": [
                      sample(100, 190, 0, "compute", "conv"),
                      sample(190, 200, 0, "exchange"),
                      sample(200, 210, 1, "compute", "gelu"),
                      sample(210, 215, 1, "synchronization")]},
                  {"physical_tile": 2, "samples": [
                      sample(0, 40, 0, "compute", "relu"),
                      sample(40, 100, 0, "idle"),
                      sample(100, 105, 1, "compute", "gelu"),
                      sample(105, 115, 1, "synchronization")]}]}
    balance = zp.open(write_report(tmp_path / "two.json", report)).phases()
    frame = balance.rows_frame()
    assert list(frame.columns) == [f for f, _ in zp._PHASE_FIELDS] + [
        "wait_measure"]
    for field, dtype in zp._PHASE_FIELDS:
        assert frame[field].dtype == np.dtype(dtype), field
    assert isinstance(frame["wait_measure"].dtype, pd.CategoricalDtype)
    assert frame[["phase", "epoch", "start", "end", "span", "tiles"]].values.tolist() == [
        [0, 0, 0, 100, 100, 2], [1, 0, 100, 115, 15, 2]]
    assert frame["slowest_tile"].tolist() == [4, 4]
    assert frame["slowest_kernel"].tolist() == ["conv", "gelu"]
    assert frame["busy_cycles"].tolist() == [140, 15]
    assert frame["mean_busy_cycles"].tolist() == [70.0, 7.5]
    assert frame["median_busy_cycles"].tolist() == [40, 5]
    assert frame["idle_cycles"].tolist() == [60, 0]
    assert frame["wait_cycles"].tolist() == [60, 15]
    assert frame["wait_measure"].tolist() == ["imbalance", "synchronization"]
    totals = balance.totals
    assert (totals.wait_cycles, totals.busy_cycles, totals.tile_cycles) == (
        75, 155, 230)
    assert balance.wait_share == 75 / 230
    assert balance.clock_hz == 1000 and balance.matched_sample_count == 8
    assert repr(balance.rows[0]).startswith("PhaseRow(phase=0, epoch=0")
    assert repr(balance).endswith("tile_cycles=230), rows=2)")


def test_nothing_matched_gives_no_rows_and_a_typed_empty_frame(profiles):
    balance = zp.open(profiles[0]).phases(kernel="missing", threads=2)
    assert balance.rows == [] and balance.matched_sample_count == 0
    assert balance.clock_hz == zp.open(profiles[0]).clock_hz
    assert (balance.totals.wait_cycles, balance.totals.tile_cycles) == (0, 0)
    assert balance.wait_share == 0.0
    frame = balance.rows_frame()
    assert frame.shape == (0, len(zp._PHASE_FIELDS) + 1)
    assert frame["wait_cycles"].dtype == np.uint64
    assert frame["mean_busy_cycles"].dtype == np.float64


@pytest.mark.parametrize("kwargs, error, text", [
    ({"group_by": "kernel"}, TypeError, r"unexpected keyword arguments \['group_by'\]"),
    ({"limit": 5}, TypeError, "limit"),
    ({"sample_limit": 1}, TypeError, "sample_limit"),
    ({"sort_by": "name"}, TypeError, "sort_by"),
    ({"kernal": "conv"}, TypeError, "the filters are .*kernel"),
    ({"kind": "Compute"}, ValueError, "exchange, compute, synchronization, idle"),
    ({"from_offset": "ten%"}, ValueError, "percentage"),
    ({"tiles": 3}, TypeError, "tiles must be a collection"),
])
def test_bad_keywords_raise_before_any_file_is_read(profiles, tmp_path, kwargs,
                                                     error, text):
    with pytest.raises(error, match=text):
        zp.open(profiles[0]).phases(**kwargs)
    # Checked before the file is opened: a missing one does not matter.
    with pytest.raises(error, match=text):
        zp.phases(str(tmp_path / "absent.zpk"), **kwargs)


def test_unreadable_file_raises_load_error(tmp_path):
    with pytest.raises(zp.LoadError) as caught:
        zp.phases([str(tmp_path / "absent.zpk")])
    assert caught.value.file == str(tmp_path / "absent.zpk")
