"""Profile.query against `zyl-profile query --format json` on random
queries, field by field, doubles exactly."""

import random

import numpy as np

import zyl_profile as zp
from conftest import run_tool
from zyl_profile._zyl_profile_testing import reference_query

GROUP_BY = ["kind", "kernel", "operation", "phase", "tile", "metadata"]
SORT_BY = ["phase_cycles", "work_cycles", "maximum_cycles", "samples", "name"]
KINDS = ["exchange", "compute", "synchronization", "idle"]


def random_query(rng, profile, kernels, operations):
    """Returns (keyword arguments, the tool's options) for one random query."""
    kwargs, args = {}, []

    def maybe(chance=0.3):
        return rng.random() < chance

    if maybe(0.8):
        kwargs["group_by"] = rng.choice(GROUP_BY)
        args += ["--group-by", kwargs["group_by"]]
    if kwargs.get("group_by") == "metadata" or maybe(0.1):
        kwargs["metadata_key"] = rng.choice(["block", "layer", "absent"])
        args += ["--metadata-key", kwargs["metadata_key"]]
    if maybe(0.6):
        sort_by = rng.choice(SORT_BY)
        # Half the time in the command line's spelling, which query accepts.
        kwargs["sort_by"] = sort_by.replace("_", "-") if maybe(0.5) else sort_by
        args += ["--sort-by", sort_by.replace("_", "-")]
    if maybe():
        kwargs["kind"] = rng.choice(KINDS)
        args += ["--kind", kwargs["kind"]]
    if maybe(0.2):
        kwargs["kernel"] = rng.choice(kernels + ["", "missing"])
        args += ["--kernel", kwargs["kernel"]]
    if maybe(0.2):
        operation = rng.choice(operations)
        kwargs["operation_contains"] = operation[: rng.randint(1, len(operation))]
        args += ["--operation-contains", kwargs["operation_contains"]]
    if maybe():
        tiles = rng.sample(profile.tiles + [99], rng.randint(1, 4))
        kwargs["tiles"] = tiles
        args += ["--tile", ",".join(map(str, tiles))]
    if maybe():
        phases = rng.sample(range(6), rng.randint(1, 3))
        kwargs["phases"] = set(phases)
        args += ["--phase", ",".join(map(str, phases))]
    if maybe(0.2):
        entries = [("block", str(rng.randint(0, 30))), ("layer", None)]
        kwargs["metadata"] = entries[: rng.randint(1, 2)]
        for name, value in kwargs["metadata"]:
            args += ["--metadata", name if value is None else f"{name}={value}"]
    span = profile.query(limit=0).profile_span_cycles
    for name, option in (("at_offset", "--at-offset"), ("from_offset", "--from"),
                         ("to_offset", "--to")):
        if maybe(0.15):
            bound = (f"{rng.randint(0, 100)}%" if maybe(0.5)
                     else rng.randint(0, span + 10))
            kwargs[name] = bound
            args += [option, str(bound)]
    if maybe(0.4):
        kwargs["limit"] = rng.randint(0, 5)
        args += ["--limit", str(kwargs["limit"])]
    if maybe(0.5):
        kwargs["sample_limit"] = rng.randint(1, 20)
        args += ["--sample-limit", str(kwargs["sample_limit"])]
    if maybe():
        kwargs["threads"] = rng.randint(1, 3)
        args += ["--threads", str(kwargs["threads"])]
    return kwargs, args


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
            kwargs, args = random_query(rng, profile, kernels, operations)
            expected = reference_query(str(path), zp._plan("query", kwargs).query)
            # Exact equality, doubles bit for bit.
            assert as_json(profile.query(**kwargs)) == as_json(expected), (
                path, args)


def test_len_tiles_and_clock_describe_the_profile(tool, profiles):
    expected = run_tool(tool, "query", profiles[0], "--limit", "0")
    profile = zp.open(profiles[0])
    assert len(profile) == expected["sample_count"]
    assert len(profile.tiles) == expected["tile_count"]
    assert profile.tiles == sorted(profile.tiles)
    assert profile.clock_hz == expected["clock_hz"]


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
