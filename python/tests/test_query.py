"""Profile.query against the library's reference model on random queries,
field by field, doubles exactly."""

import random

import numpy as np

import zyl_profile as zp
from conftest import random_report, write_report
from zyl_profile import _zyl_profile as ext
from zyl_profile._zyl_profile_testing import reference_query

GROUP_BY = ["kind", "kernel", "operation", "phase", "tile", "metadata"]
SORT_BY = ["phase_cycles", "work_cycles", "maximum_cycles", "samples", "name"]
KINDS = ["exchange", "compute", "synchronization", "idle"]


def share(text):
    """The library's (units, scale) for a percentage such as "12.5"."""
    parsed = ext.parse_percentage(text)
    assert parsed is not None, text
    return parsed


def random_query(rng, profile, kernels, operations):
    """Returns (keyword arguments, the library's Query they ask) for one
    random query. The Query is filled field by field here rather than by
    the package's own argument checking, so a keyword that reached the wrong
    field, or a value spelled wrong on the way, shows as a wrong answer."""
    kwargs, query = {}, ext.Query()

    def maybe(chance=0.3):
        return rng.random() < chance

    if maybe(0.8):
        kwargs["group_by"] = rng.choice(GROUP_BY)
        query.group_by = getattr(ext.GroupBy, kwargs["group_by"])
    if kwargs.get("group_by") == "metadata" or maybe(0.1):
        kwargs["metadata_key"] = rng.choice(["block", "layer", "absent"])
        query.metadata_key = kwargs["metadata_key"]
    if maybe(0.6):
        sort_by = rng.choice(SORT_BY)
        # Half the time in the command line's spelling, which query accepts.
        kwargs["sort_by"] = sort_by.replace("_", "-") if maybe(0.5) else sort_by
        query.sort_by = getattr(ext.SortBy, sort_by)
    if maybe():
        kwargs["kind"] = rng.choice(KINDS)
        query.kind = getattr(ext.StepKind, kwargs["kind"])
    if maybe(0.2):
        kwargs["kernel"] = rng.choice(kernels + ["", "missing"])
        query.kernel = kwargs["kernel"]
    if maybe(0.2):
        operation = rng.choice(operations)
        kwargs["operation_contains"] = operation[: rng.randint(1, len(operation))]
        query.operation_contains = kwargs["operation_contains"]
    if maybe():
        tiles = rng.sample(profile.tiles + [99], rng.randint(1, 4))
        # Any collection of ints: a list, or a range-like tuple.
        kwargs["tiles"] = tiles if maybe(0.5) else tuple(tiles)
        query.tiles = set(tiles)
    if maybe():
        phases = rng.sample(range(6), rng.randint(1, 3))
        kwargs["phases"] = set(phases)
        query.phases = set(phases)
    if maybe(0.2):
        entries = [("block", str(rng.randint(0, 30))), ("layer", None)]
        kwargs["metadata"] = entries[: rng.randint(1, 2)]
        filters = []
        for name, value in kwargs["metadata"]:
            entry = ext.MetadataFilter()
            entry.name, entry.value = name, value
            filters.append(entry)
        query.metadata = filters
    span = profile.query(limit=0).profile_span_cycles
    for name in ("at_offset", "from_offset", "to_offset"):
        if maybe(0.15):
            if maybe(0.5):
                percent = rng.choice([str(rng.randint(0, 100)),
                                      f"{rng.randint(0, 99)}.{rng.randint(1, 999)}"])
                kwargs[name] = f"{percent}%"
                setattr(query, name, share(percent))
            else:
                kwargs[name] = rng.randint(0, span + 10)
                setattr(query, name, kwargs[name])
    if maybe(0.4):
        kwargs["limit"] = rng.randint(0, 5)
        query.limit = kwargs["limit"]
    if maybe(0.5):
        kwargs["sample_limit"] = rng.randint(1, 20)
        query.sample_limit = kwargs["sample_limit"]
    if maybe():
        # Threads change how the work is shared, never the answer.
        kwargs["threads"] = rng.randint(1, 3)
    return kwargs, query


def as_json(report):
    """The report in the shape the tool's JSON has."""
    return {
        "clock_hz": report.clock_hz,
        "tile_count": report.tile_count,
        "sample_count": report.sample_count,
        "matched_sample_count": report.matched_sample_count,
        "profile_span_cycles": report.profile_span_cycles,
        "profile_span_ms": report.profile_span_ms,
        "at_offset": report.at_offset,
        "matched_work_cycles": report.matched_work_cycles,
        "groups": [
            {"name": g.name, "dimensions": g.dimensions,
             **{f: getattr(g, f) for f, _ in zp._GROUP_FIELDS}}
            for g in report.groups],
        "samples": [
            {**{f: getattr(s, f) for f, _ in zp._SAMPLE_FIELDS if f != "metadata"},
             "metadata": [{"name": n, "value": v} for n, v in s.metadata]}
            for s in report.samples],
    }


def test_random_queries_match_the_reference_model(profiles):
    rng = random.Random(20261209)
    for path in profiles:
        profile = zp.open(path)
        everything = profile.query(group_by="kernel", limit=None)
        kernels = [g.name for g in everything.groups if g.name != "(no kernel)"]
        operations = [g.name for g in profile.query(group_by="operation").groups]
        for _ in range(40):
            kwargs, query = random_query(rng, profile, kernels, operations)
            expected = reference_query(str(path), query)
            # Exact equality, doubles bit for bit.
            assert as_json(profile.query(**kwargs)) == as_json(expected), (
                path, kwargs)


def test_len_tiles_and_clock_describe_the_profile(profiles, tmp_path):
    for path in profiles:
        expected = reference_query(str(path), ext.Query())
        profile = zp.open(path)
        assert len(profile) == expected.sample_count == 400
        assert len(profile.tiles) == expected.tile_count
        assert profile.tiles == sorted(profile.tiles)
        assert profile.clock_hz == expected.clock_hz
        assert profile.profile_span() == expected.profile_span_cycles
    # A report whose tiles are out of order, some empty: the tiles are
    # listed in report order, empty ones included.
    report = random_report(random.Random(2), 9, clock_hz=12345)
    path = write_report(tmp_path / "shuffled.json", report)
    profile = zp.open(path)
    expected = reference_query(str(path), ext.Query())
    assert profile.tiles == [t["physical_tile"] for t in report["tiles"]]
    assert profile.tiles != sorted(profile.tiles)
    assert len(profile.tiles) == expected.tile_count == 9
    assert profile.clock_hz == 12345
    assert len(profile) == expected.sample_count


def test_notes_explain_an_empty_answer(profiles):
    report = zp.open(profiles[0]).query(kernel="Matmul_0")
    assert report.matched_sample_count == 0
    assert report.notes and "Matmul_0" in report.notes[0]
    assert zp.open(profiles[0]).query().notes == []


def test_frames_have_the_field_names_and_types(profiles):
    report = zp.open(profiles[0]).query(group_by="phase", sample_limit=400)
    groups = report.groups_frame()
    assert list(groups.columns) == ["name", "dimensions"] + [
        f for f, _ in zp._GROUP_FIELDS]
    for field, dtype in zp._GROUP_FIELDS:
        assert groups[field].dtype == np.dtype(dtype), field
    assert groups["phase_cycles"].tolist() == [g.phase_cycles for g in report.groups]
    assert groups["dimensions"][0] == report.groups[0].dimensions
    assert "phase" in groups["dimensions"][0]

    samples = report.samples_frame()
    assert list(samples.columns) == [f for f, _ in zp._SAMPLE_FIELDS]
    assert samples["offset"].dtype == np.uint64
    assert samples["duration"].dtype == np.uint32
    assert samples["kind"].dtype == object
    # Samples without a kernel keep "", not NaN or None.
    no_kernel = [s for s in report.samples if s.kernel == ""]
    assert no_kernel, "the generated profile should have samples without kernel"
    assert (samples["kernel"] == "").sum() == len(no_kernel)
    assert samples["metadata"][0] == report.samples[0].metadata


def test_empty_report_gives_empty_frames_with_the_columns(profiles):
    report = zp.open(profiles[0]).query(tiles=[99])
    assert report.groups_frame().shape == (0, 2 + len(zp._GROUP_FIELDS))
    assert report.samples_frame()["offset"].dtype == np.uint64


def test_repr_is_readable(profiles):
    profile = zp.open(profiles[0])
    report = profile.query(limit=1, sample_limit=1)
    assert repr(profile).startswith("Profile(")
    assert "matched_sample_count=400" in repr(report)
    assert repr(report.groups[0]).startswith("GroupSummary(name=")
    assert repr(report.samples[0]).startswith("SampleRecord(physical_tile=")


def test_queries_from_several_threads_agree(profiles):
    # The GIL is released during the scan, so these really run together.
    from concurrent.futures import ThreadPoolExecutor

    profile = zp.open(profiles[1])
    arguments = [{"group_by": g, "sample_limit": 5, "from_offset": "10%"}
                 for g in ("kind", "kernel", "tile", "phase")] * 4
    expected = [as_json(profile.query(**a)) for a in arguments]
    with ThreadPoolExecutor(max_workers=4) as pool:
        actual = list(pool.map(lambda a: as_json(profile.query(**a)), arguments))
        frames = list(pool.map(lambda _: profile.samples(), range(4)))
    assert actual == expected
    for frame in frames[1:]:
        assert frame.equals(frames[0])
