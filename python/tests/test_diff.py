"""zyl_profile.diff against `zyl-profile diff --format json`."""

import math
import subprocess

import numpy as np
import pytest

import zyl_profile as zp
from conftest import run_tool


def count_json(change, with_regressed):
    value = {"base": change.base, "new": change.new, "change": change.change,
             "change_percent": change.percent}
    if with_regressed:
        value["regressed"] = change.regressed
    return value


def as_json(diff):
    real = lambda c: {"base": c.base, "new": c.new, "change": c.change,
                      "change_percent": c.percent}
    return {
        "fail_above_percent": diff.fail_above,
        "regressed": diff.regressed,
        "group_count": diff.group_count,
        "changed_group_count": diff.changed_count,
        "shown_group_count": diff.shown_count,
        "groups": [{
            "name": r.name, "dimensions": r.dimensions,
            "status": r.status,
            "phase_cycles": count_json(r.phase_cycles, True),
            "work_cycles": count_json(r.work_cycles, False),
            "sample_count": count_json(r.sample_count, False),
            "average_active_tiles": real(r.average_active_tiles),
            "p95_cycles": count_json(r.p95_cycles, False),
        } for r in diff.rows],
        "regressed_groups": diff.regressed_groups,
        "totals": {
            "profile_span_cycles": count_json(diff.profile_span_cycles, True),
            "matched_sample_count": count_json(diff.matched_sample_count, False),
        },
    }


# (keyword arguments, the tool's options)
CASES = [
    ({}, []),
    ({"group_by": "phase", "fail_above": 5}, ["--group-by", "phase", "--fail-above", "5"]),
    ({"order": "relative", "show": "regressions", "limit": 3},
     ["--sort-by", "relative", "--only", "regressions", "--limit", "3"]),
    ({"show": "improvements", "kind": "compute", "fail_above": "2.5%"},
     ["--only", "improvements", "--kind", "compute", "--fail-above", "2.5%"]),
    # A window as a share is resolved against each profile's own span.
    ({"from_offset": "20%", "to_offset": "70%", "group_by": "tile"},
     ["--from", "20%", "--to", "70%", "--group-by", "tile"]),
    ({"group_by": "metadata", "metadata_key": "block", "tiles": [1, 2, 3]},
     ["--group-by", "metadata", "--metadata-key", "block", "--tile", "1-3"]),
]


@pytest.mark.parametrize("kwargs, args", CASES)
def test_diff_matches_the_tool(tool, profiles, kwargs, args):
    base, new = profiles[0], profiles[1]
    expected = run_tool(tool, "diff", base, new, *args)
    # Paths and opened profiles give the same answer.
    for pair in ((base, new), (zp.open(base), zp.open(new))):
        assert as_json(zp.diff(*pair, **kwargs)) == expected, args


def test_rows_frame(profiles):
    diff = zp.diff(profiles[0], profiles[2], fail_above=1)
    frame = diff.rows_frame()
    assert len(frame) == len(diff.rows)
    assert frame["phase_cycles_base"].dtype == np.uint64
    assert frame["average_active_tiles_new"].dtype == np.float64
    assert frame["status"].tolist() == [r.status for r in diff.rows]
    assert frame["phase_cycles_change"].tolist() == [
        r.phase_cycles.change for r in diff.rows]
    for row, percent in zip(diff.rows, frame["phase_cycles_percent"]):
        if row.phase_cycles.percent is None:
            assert math.isnan(percent)
        else:
            assert percent == row.phase_cycles.percent
    assert frame["phase_cycles_regressed"].sum() == len(diff.regressed_groups)


def test_diff_of_shards_is_the_diff_of_the_whole(tool, profiles, tmp_path):
    prefix = tmp_path / "base"
    subprocess.run([tool, "split", str(profiles[1]), "-o", str(prefix),
                    "--shards", "3"], check=True, capture_output=True)
    shards = sorted(str(p) for p in tmp_path.glob("base-*.zpk"))
    for kwargs in ({}, {"group_by": "tile", "from_offset": "30%"}):
        whole = zp.diff(profiles[1], profiles[2], **kwargs)
        sharded = zp.diff(shards, profiles[2], **kwargs)
        assert sharded.rows_frame().equals(whole.rows_frame()), kwargs
        assert sharded.profile_span_cycles.next == whole.profile_span_cycles.next
    with pytest.raises(zp.ReportError, match="missing"):
        zp.diff(shards[:2], profiles[2])
