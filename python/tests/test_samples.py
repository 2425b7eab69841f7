"""Profile.samples(): every sample as columns, agreeing with the query's
listed samples, viewing the profile's memory and keeping it alive."""

import gc
import os
import random

import numpy as np
import pandas as pd
import pytest

import zyl_profile as zp
from conftest import random_report, write_report
from zyl_profile._zyl_profile_testing import report_samples


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
        "physical_tile": np.uint16, "offset": np.uint64, "duration": np.uint32,
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
    raw = profile._columns.sample_columns(True)
    for name in ("phase", "start_cycle", "offset", "duration"):
        assert np.shares_memory(frame[name].to_numpy(), raw[name]), name
        assert not frame[name].to_numpy().flags.writeable
    # So do the codes of the Categoricals: the profile's ids as they are.
    for name in ("kind", "kernel", "operation"):
        codes = frame[name].cat.codes.to_numpy()
        assert np.shares_memory(codes, raw[name]), name
        assert (codes == raw[name]).all(), name


def test_categoricals_over_the_ids_work_as_any(profiles):
    frame = zp.open(profiles[1]).samples()
    kernels = frame["kernel"].astype(object)
    for value in ("", kernels.iloc[0]):
        assert (frame["kernel"] == value).sum() == (kernels == value).sum()
    counts = frame["kernel"].value_counts()
    assert counts[counts > 0].to_dict() == kernels.value_counts().to_dict()
    doubled = pd.concat([frame, frame])["kernel"]
    assert (doubled.astype(object).to_numpy() == np.concatenate(
        [kernels.to_numpy()] * 2)).all()
    by_kernel = frame.groupby("kernel", observed=True)["duration"].sum()
    assert by_kernel.to_dict() == frame.assign(k=kernels).groupby("k")[
        "duration"].sum().to_dict()
    with pytest.raises(ValueError, match="read-only"):
        frame.loc[0, "kernel"] = frame["kernel"].iloc[1]


def test_samples_without_the_timeline(profiles):
    profile = zp.open(profiles[0])
    full = profile.samples()
    bare = profile.samples(timeline=False)
    assert list(bare.columns) == [
        c for c in full.columns if c not in ("offset", "duration")]
    pd.testing.assert_frame_equal(bare, full[bare.columns])


def test_metadata_columns_take_each_key_from_the_list(tmp_path):
    # Random lists repeat keys (the first entry counts, as grouping by the
    # key does) and lack some (""), over tile numbers too wide for uint16.
    report = random_report(random.Random(3), 12)
    for number, tile in enumerate(report["tiles"]):
        tile["physical_tile"] = 70000 + number
    profile = zp.open(write_report(tmp_path / "r.json", report))
    frame = profile.samples(metadata=True)
    assert frame["physical_tile"].dtype == np.uint32
    assert {"metadata.block", "metadata.layer"} <= set(frame.columns)
    lists = {i: profile.metadata_list(i) for i in set(frame["metadata"])}

    def first(entries, key):
        return next((value for name, value in entries if name == key), "")

    for key in ("block", "layer"):
        column = frame[f"metadata.{key}"]
        assert column.dtype == "category"
        expected = [first(lists[i], key) for i in frame["metadata"]]
        assert column.astype(object).tolist() == expected, key
    only = profile.samples(metadata=["layer", "absent", "layer"])
    assert [c for c in only.columns if c.startswith("metadata.")] == [
        "metadata.layer", "metadata.absent"]
    assert (only["metadata.absent"] == "").all()
    assert "metadata.block" not in profile.samples(metadata="layer")
    assert profile.samples(metadata=False).columns.equals(
        profile.samples().columns)


@pytest.mark.parametrize("kwargs, text", [
    ({"metadata": 3}, "metadata must be True, a key or a list of keys"),
    ({"metadata": ["block", 3]}, "each metadata key must be a str"),
    ({"timeline": 1}, "timeline must be a bool"),
])
def test_bad_samples_arguments(profiles, kwargs, text):
    with pytest.raises(TypeError, match=text):
        zp.open(profiles[0]).samples(**kwargs)


def test_samples_keep_the_profile_alive(profiles):
    frame = zp.open(profiles[1]).samples()
    expected = zp.open(profiles[1]).samples()
    gc.collect()
    pd.testing.assert_frame_equal(frame, expected)


def test_samples_frame_equals_the_reports_samples_row_for_row(profiles,
                                                             tmp_path):
    """The frame lists the samples in report order, each placed on its
    tile's timeline as the reference model places it, field for field
    (metadata through the list ids): generated profiles, the bundled
    example, and random reports with wrapping counters and empty tiles."""
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples",
                           "small.json")
    rng = random.Random(11)
    randoms = [write_report(tmp_path / f"random{i}.json",
                            random_report(rng, rng.randint(1, 10)))
               for i in range(4)]
    for path in [*profiles, example, *randoms]:
        expected = report_samples(str(path))
        profile = zp.open(path)
        frame = profile.samples()
        assert len(frame) == len(expected), path
        for record, sample in zip(expected, frame.itertuples()):
            assert (record.physical_tile, record.offset, record.duration,
                    record.phase, record.epoch, record.kind, record.operation,
                    record.kernel) == (
                int(sample.physical_tile), int(sample.offset),
                int(sample.duration), int(sample.phase), int(sample.epoch),
                sample.kind, sample.operation, sample.kernel), path
            assert record.metadata == profile.metadata_list(
                int(sample.metadata)), path
