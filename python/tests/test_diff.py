"""zyl_profile.diff against the library's reference model: the reference
query on each side, joined by the library's diff_results."""

import math

import numpy as np
import pytest

import zyl_profile as zp
from conftest import split
from test_query import share
from zyl_profile import _zyl_profile as ext
from zyl_profile._zyl_profile_testing import reference_diff


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
        "order": diff.order,
        "show": diff.show,
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
            "work_percent": real(r.work_percent),
        } for r in diff.rows],
        "regressed_groups": diff.regressed_groups,
        "totals": {
            "profile_span_cycles": count_json(diff.profile_span_cycles, True),
            "matched_sample_count": count_json(diff.matched_sample_count, False),
        },
    }


def metadata_filter(name, value):
    entry = ext.MetadataFilter()
    entry.name, entry.value = name, value
    return entry


def library_call(query_fields, option_fields):
    """The Query and DiffOptions with these fields set, the rest as the
    library makes them."""
    query, options = ext.Query(), ext.DiffOptions()
    for name, value in query_fields.items():
        setattr(query, name, value)
    for name, value in option_fields.items():
        setattr(options, name, value)
    return query, options


G, ORDER, SHOW = ext.GroupBy, ext.DiffOrder, ext.DiffShow

# (keyword arguments, the Query's fields and the DiffOptions' fields they
# must reach)
CASES = [
    ({}, {}, {}),
    ({"group_by": "phase", "fail_above": 5},
     {"group_by": G.phase}, {"fail_above": share("5")}),
    ({"order": "relative", "show": "regressions", "limit": 3},
     {}, {"order": ORDER.relative, "show": SHOW.regressions, "limit": 3}),
    ({"show": "improvements", "kind": "compute", "fail_above": "2.5%"},
     {"kind": ext.StepKind.compute},
     {"show": SHOW.improvements, "fail_above": share("2.5")}),
    # A window as a share is resolved against each profile's own span.
    ({"from_offset": "20%", "to_offset": "70%", "group_by": "tile"},
     {"from_offset": share("20"), "to_offset": share("70"), "group_by": G.tile},
     {}),
    ({"group_by": "metadata", "metadata_key": "block", "tiles": [1, 2, 3]},
     {"group_by": G.metadata, "metadata_key": "block", "tiles": {1, 2, 3}}, {}),
    # The limit cuts the rows, never the groups joined; every growth
    # regresses at 0%.
    ({"limit": 0, "fail_above": 0, "sort_by": "name"},
     {"sort_by": ext.SortBy.name}, {"limit": 0, "fail_above": share("0")}),
    # A listing asked for changes nothing; a point is resolved per side.
    ({"sample_limit": 7, "at_offset": "50%", "group_by": "kind",
      "order": "relative", "show": "all"},
     {"sample_limit": 7, "at_offset": share("50"), "group_by": G.kind},
     {"order": ORDER.relative}),
    ({"phases": {1, 3}, "operation_contains": "a", "kernel": "",
      "metadata": {"layer": None}, "fail_above": 1},
     {"phases": {1, 3}, "operation_contains": "a", "kernel": "",
      "metadata": [metadata_filter("layer", None)]},
     {"fail_above": share("1")}),
]


@pytest.mark.parametrize("kwargs, query_fields, option_fields", CASES)
def test_diff_matches_the_reference_model(profiles, kwargs, query_fields,
                                          option_fields):
    query, options = library_call(query_fields, option_fields)
    for base, new in ((profiles[0], profiles[1]), (profiles[2], profiles[0])):
        expected = as_json(zp.DiffReport(
            reference_diff(str(base), str(new), query, options)))
        assert expected["group_count"] > 0
        # Paths and opened profiles give the same answer.
        for pair in ((base, new), (zp.open(base), zp.open(new))):
            assert as_json(zp.diff(*pair, **kwargs)) == expected, kwargs


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


def test_diff_of_shards_is_the_diff_of_the_whole(profiles, tmp_path):
    shards = [str(p) for p in split(profiles[1], tmp_path / "base", 3)]
    for kwargs in ({}, {"group_by": "tile", "from_offset": "30%"}):
        whole = zp.diff(profiles[1], profiles[2], **kwargs)
        sharded = zp.diff(shards, profiles[2], **kwargs)
        assert sharded.rows_frame().equals(whole.rows_frame()), kwargs
        assert sharded.profile_span_cycles.next == whole.profile_span_cycles.next
    # diff has no keyword to read the files as given, so none is offered.
    with pytest.raises(zp.ReportError, match="missing; give every shard$"):
        zp.diff(shards[:2], profiles[2])
    with pytest.raises(zp.ReportError, match="give one report$"):
        zp.diff(profiles[2], [profiles[0], profiles[1]])
