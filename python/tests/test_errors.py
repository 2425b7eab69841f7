"""Reports that cannot be read, and arguments that are not valid."""

import pytest

import zyl_profile as zp


@pytest.mark.parametrize("text, line, column, path_part", [
    ('{"format": "zyl-profile-report", "version": 1,\n  "clock_hz": -1}',
     2, 15, "clock_hz"),
    ('{"format": "zyl-profile-report",\n "version": 1,\n "clock_hz": 1,\n'
     ' "tiles": [ {"physical_tile": "x"} ]}', 4, 31, "tiles[0].physical_tile"),
    ('{"format": "zyl-profile-report"', 1, 0, ""),
])
def test_malformed_report_raises_report_error_with_the_place(
        tmp_path, text, line, column, path_part):
    path = tmp_path / "bad.json"
    path.write_text(text)
    with pytest.raises(zp.ReportError) as caught:
        zp.open(path)
    error = caught.value
    assert isinstance(error, ValueError)
    assert error.file == str(path)
    assert error.line == line
    if column:
        assert error.column == column
    assert path_part in error.json_path
    assert error.message and error.message in str(error)
    assert str(error).startswith(f"{path}:{line}:")


def test_missing_file_raises_report_error(tmp_path):
    path = tmp_path / "absent.zpk"
    with pytest.raises(zp.ReportError) as caught:
        zp.open(str(path))
    assert caught.value.file == str(path)
    assert str(caught.value).startswith(f"{path}: ")
    assert "No such file" in str(caught.value)


@pytest.mark.parametrize("kwargs, error, names", [
    ({"group_by": "kernal"}, ValueError, "kind, kernel, operation, phase, tile, metadata"),
    ({"group_by": 3}, TypeError, "group_by"),
    ({"sort_by": "cycles"}, ValueError, "phase_cycles, work_cycles, maximum_cycles"),
    ({"kind": "Compute"}, ValueError, "exchange, compute, synchronization, idle"),
    ({"limit": -1}, ValueError, "limit must be in 0.."),
    ({"limit": 2.0}, TypeError, "limit must be an int"),
    ({"sample_limit": True}, TypeError, "sample_limit"),
    ({"tiles": ["3"]}, TypeError, "each of tiles"),
    ({"tiles": 3}, TypeError, "tiles must be a collection"),
    ({"phases": [2**32]}, ValueError, "each of phases must be in 0..4294967295"),
    ({"metadata": ["block"]}, TypeError, "(name, value) pairs"),
    ({"metadata": {"block": 1}}, TypeError, "metadata value"),
    ({"kernel": 5}, TypeError, "kernel must be a str"),
    ({"from_offset": "25"}, ValueError, "percentage of the span"),
    ({"at_offset": -5}, ValueError, "at_offset must be in 0.."),
    ({"to_offset": "1.1234567%"}, ValueError, "'25%'"),
    ({"threads": -1}, ValueError, "threads"),
])
def test_bad_arguments_raise_before_any_work(profiles, kwargs, error, names):
    profile = zp.open(profiles[0])
    with pytest.raises(error) as caught:
        profile.query(**kwargs)
    assert names in str(caught.value)


def test_query_takes_keywords_only(profiles):
    with pytest.raises(TypeError):
        zp.open(profiles[0]).query("kernel")


@pytest.mark.parametrize("kwargs, error, names", [
    ({"order": "size"}, ValueError, "absolute, relative"),
    ({"show": "worse"}, ValueError, "all, regressions, improvements"),
    ({"fail_above": "-5"}, ValueError, "fail_above must be a percentage"),
    ({"fail_above": [5]}, TypeError, "fail_above"),
    ({"group_bye": "kind"}, TypeError, "group_by"),
])
def test_bad_diff_arguments_raise(profiles, kwargs, error, names):
    with pytest.raises(error) as caught:
        zp.diff(profiles[0], profiles[1], **kwargs)
    assert names in str(caught.value)
