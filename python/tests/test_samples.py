"""Profile.samples(): every sample as columns, agreeing with the query's
listed samples, viewing the profile's memory and keeping it alive."""

import gc

import numpy as np
import pandas as pd

import zyl_profile as zp


def test_samples_agree_with_the_listed_samples(profiles):
    for path in profiles:
        profile = zp.open(path)
        frame = profile.samples()
        assert len(frame) == len(profile)
        listed = profile.query(sample_limit=len(profile)).samples
        expected = sorted(
            (s.physical_tile, s.offset, s.duration, s.phase, s.epoch, s.kind,
             s.operation, s.kernel, tuple(s.metadata)) for s in listed)
        actual = sorted(
            (int(row.physical_tile), int(row.offset), int(row.duration),
             int(row.phase), int(row.epoch), row.kind, row.operation,
             row.kernel, tuple(profile.metadata_list(int(row.metadata))))
            for row in frame.itertuples())
        assert actual == expected, path


def test_samples_columns_types_and_views(profiles):
    profile = zp.open(profiles[1])  # a package: the columns are mapped
    frame = profile.samples()
    assert frame.dtypes.to_dict() == {
        "physical_tile": np.uint32, "offset": np.uint64, "duration": np.uint32,
        "start_cycle": np.uint32, "end_cycle": np.uint32,
        "local_index": np.uint32, "phase": np.uint32, "epoch": np.uint32,
        "kind": "category", "kernel": "category", "operation": "category",
        "metadata": np.uint32}
    assert list(frame["kind"].cat.categories) == [
        "exchange", "compute", "synchronization", "idle"]
    # Samples without a kernel have the category "", not NaN.
    assert frame["kernel"].isna().sum() == 0
    assert (frame["kernel"] == "").sum() > 0
    # The numeric columns view the profile's own arrays, read-only.
    raw = profile._columns.sample_columns()
    for name in ("phase", "start_cycle", "offset", "duration"):
        assert np.shares_memory(frame[name].to_numpy(), raw[name]), name
        assert not frame[name].to_numpy().flags.writeable


def test_samples_keep_the_profile_alive(profiles):
    frame = zp.open(profiles[1]).samples()
    expected = zp.open(profiles[1]).samples()
    gc.collect()
    pd.testing.assert_frame_equal(frame, expected)
