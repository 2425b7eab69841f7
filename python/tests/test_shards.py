"""A profile kept as shards: zp.query and merged partials against the query
over the whole, field by field, and partials that must not merge."""

import ctypes
import ctypes.util
import pickle
import random

import pytest

import zyl_profile as zp
from conftest import KERNELS, OPERATIONS, random_report, split, write_report
from test_query import as_json, random_query


def split_at_random(rng, report, folder, name):
    """Writes `report` as JSON shards cut at random tile boundaries (a shard
    may have no tiles) and returns their paths in order."""
    tiles = report["tiles"]
    cuts = sorted(rng.choices(range(len(tiles) + 1), k=rng.randint(0, 5)))
    bounds = [0, *cuts, len(tiles)]
    paths = []
    for index, (first, end) in enumerate(zip(bounds, bounds[1:])):
        shard = dict(report, tiles=tiles[first:end])
        paths.append(write_report(folder / f"{name}-{index}.json", shard))
    return paths


def split_into(path, folder, shards, compress=False):
    return split(path, folder / f"{path.stem}-{shards}", shards, compress)


def names_of(profile):
    everything = profile.query(group_by="kernel", limit=None)
    kernels = [g.name for g in everything.groups if g.name != "(no kernel)"]
    operations = [g.name for g in profile.query(group_by="operation").groups]
    return kernels, operations


def test_random_splits_answer_as_the_whole(tmp_path):
    rng = random.Random(1209)
    for round_ in range(12):
        report = random_report(rng, rng.randint(3, 14))
        whole = zp.open(write_report(tmp_path / f"whole{round_}.json", report))
        shards = split_at_random(rng, report, tmp_path, f"r{round_}")
        for _ in range(8):
            kwargs, _ = random_query(rng, whole, KERNELS[1:], OPERATIONS)
            # JSON files carry no shard identity: read as given, on request.
            got = zp.query(shards, concatenate=True, **kwargs)
            expected = whole.query(**kwargs)
            assert as_json(got) == as_json(expected), (round_, len(shards),
                                                       kwargs)
            assert got.notes == expected.notes, (round_, kwargs)


def test_split_shards_answer_as_the_whole(profiles, tmp_path):
    rng = random.Random(31)
    for path in profiles:
        whole = zp.open(path)
        kernels, operations = names_of(whole)
        for count in (1, 3, 8):
            # Compressed sections read as plain ones.
            shards = split_into(path, tmp_path, count, compress=count == 3)
            assert len(shards) == count
            rng.shuffle(shards)  # a set puts itself in order
            for _ in range(6):
                kwargs, _ = random_query(rng, whole, kernels, operations)
                got = zp.query(shards, **kwargs)
                expected = whole.query(**kwargs)
                assert as_json(got) == as_json(expected), (path, count, kwargs)
                assert got.notes == expected.notes, (path, count, kwargs)


def test_sets_that_are_not_one_whole_profile_are_refused(profiles, tmp_path):
    run = split_into(profiles[0], tmp_path, 4)
    old = split_into(profiles[0], tmp_path, 6)
    other = split_into(profiles[1], tmp_path, 4)
    for paths, odd, text in [
            ([run[0], run[1], run[3]], run[0],
             "shard 2 of 4 is missing; give every shard, or concatenate=True "
             "to read only these"),
            ([*run, run[1]], run[1], "shard 1 of 4 again"),
            ([*run, old[5]], old[5], "left over from another split"),
            ([*run[:3], other[3]], other[3], "a shard of another profile"),
            ([*run, profiles[0]], profiles[0],
             "not a shard, but .* is one: give the shards of one profile, or "
             "concatenate=True"),
            ([profiles[0], profiles[2]], profiles[2],
             "give one report, or concatenate=True to read the files as one "
             "profile"),
    ]:
        with pytest.raises(zp.ReportError, match=text) as caught:
            zp.query(paths)
        assert caught.value.file == str(odd)
        # The keyword a Python caller passes, never the command line's.
        assert "--concatenate" not in str(caught.value)
    # Asked for, the files are read as given.
    doubled = zp.query([profiles[0], profiles[0]], concatenate=True)
    assert doubled.sample_count == 2 * len(zp.open(profiles[0]))


def test_merge_order_does_not_change_the_answer(profiles, tmp_path):
    rng = random.Random(7)
    shards = split_into(profiles[0], tmp_path, 6)
    span = max(zp.open(s).profile_span() for s in shards)
    for kwargs in ({"group_by": "tile", "sample_limit": 9},
                   {"group_by": "phase", "from_offset": "30%", "sample_limit": 4},
                   {"sort_by": "maximum_cycles", "limit": 3}):
        partials = [zp.open(s).query_partial(i, profile_span=span, **kwargs)
                    for i, s in enumerate(shards)]
        expected = as_json(zp.open(profiles[0]).query(**kwargs))
        for _ in range(5):
            rng.shuffle(partials)
            merge = zp.PartialMerge()
            for partial in partials:
                merge.add(partial)
            assert merge.shards == list(range(len(shards)))
            assert as_json(merge.finish()) == expected, kwargs
        assert as_json(zp.merge_partials(partials)) == expected


@pytest.fixture(scope="module")
def partial(profiles):
    return zp.open(profiles[0]).query_partial(0, group_by="tile", sample_limit=5)


def test_bytes_that_are_not_a_partial_raise_partial_error(partial):
    cut_points = [0, 1, 7, len(partial) // 3, len(partial) - 1]
    corrupt = [partial[:n] for n in cut_points]
    corrupt += [b"\xff" * 64, partial + b"\x00",
                bytes([partial[0] ^ 0xFF]) + partial[1:]]
    for data in corrupt:
        with pytest.raises(zp.PartialError) as caught:
            zp.merge_partials([data])
        error = caught.value
        assert isinstance(error, ValueError)
        assert error.source == "partial 0"
        assert error.message and str(error) == f"partial 0: {error.message}"
        assert "byte" in error.message or "offset" in error.message, error.message


def test_a_failed_add_leaves_the_merge_as_it_was(profiles, partial):
    merge = zp.PartialMerge()
    merge.add(partial)
    with pytest.raises(zp.PartialError):
        merge.add(partial[:-3], "third.zpk")
    with pytest.raises(zp.PartialError, match="^second.zpk: "):
        merge.add(partial, "second.zpk")  # shard position 0 again
    other_query = zp.open(profiles[1]).query_partial(1, group_by="kind")
    with pytest.raises(zp.PartialError):
        merge.add(other_query)
    expected = zp.open(profiles[0]).query(group_by="tile", sample_limit=5)
    assert as_json(merge.finish()) == as_json(expected)
    with pytest.raises(ValueError, match="at least one partial"):
        merge.finish()
    with pytest.raises(ValueError, match="at least one partial"):
        zp.merge_partials([])
    with pytest.raises(TypeError, match="bytes"):
        zp.PartialMerge().add("text")


def test_shards_of_different_clocks_do_not_merge(tmp_path):
    rng = random.Random(5)
    first = write_report(tmp_path / "a.json", random_report(rng, 3, clock_hz=10))
    second = write_report(tmp_path / "b.json", random_report(rng, 3, clock_hz=20))
    with pytest.raises(zp.ReportError) as caught:
        zp.query([first, second], concatenate=True)
    assert caught.value.file == str(second)
    assert "clock" in str(caught.value)


def test_query_checks_its_arguments_before_opening_a_shard(tmp_path):
    absent = tmp_path / "absent.zpk"
    for paths, kwargs, error, text in [
            ([absent], {"group_bye": "kind"}, TypeError, "group_by"),
            ([absent], {"kind": "Compute"}, ValueError, "exchange, compute"),
            ([], {}, ValueError, "at least one shard"),
            ([absent, 3], {}, TypeError, "each of paths"),
            (3, {}, TypeError, "paths must be"),
    ]:
        with pytest.raises(error, match=text):
            zp.query(paths, **kwargs)
    with pytest.raises(zp.ReportError) as caught:
        zp.query(absent)  # one path is one shard
    assert caught.value.file == str(absent)


def test_query_partial_needs_the_whole_span_for_a_share(profiles):
    profile = zp.open(profiles[0])
    with pytest.raises(ValueError, match="profile_span="):
        profile.query_partial(0, at_offset="50%")
    # Given the span, a share is of it, as in the whole profile's query.
    alone = zp.merge_partials([profile.query_partial(
        0, at_offset="50%", profile_span=profile.profile_span())])
    assert as_json(alone) == as_json(profile.query(at_offset="50%"))


def test_errors_pickle_whole(tmp_path):
    # A dask worker's error reaches the client through pickle.
    with pytest.raises(zp.ReportError) as caught:
        zp.open(tmp_path / "absent.zpk")
    for error in (caught.value, zp.PartialError("bad byte", "shard-1.zpk")):
        copied = pickle.loads(pickle.dumps(error))
        assert type(copied) is type(error)
        assert str(copied) == str(error)
        assert copied.message == error.message


def xxh3_64(data):
    """XXH3-64 of `data` from the xxHash library the package links, the
    checksum that ends a partial's bytes."""
    name = ctypes.util.find_library("xxhash")
    if name is None:
        pytest.skip("the xxHash shared library is not installed")
    function = ctypes.CDLL(name).XXH3_64bits
    function.restype = ctypes.c_uint64
    function.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    return function(data, len(data))


def leb128(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def test_a_flipped_bit_or_a_crafted_count_raises_partial_error(profiles,
                                                              partial):
    flipped = bytearray(partial)
    flipped[len(partial) // 2] ^= 0x10
    with pytest.raises(zp.PartialError, match="checksum mismatch"):
        zp.merge_partials([bytes(flipped)])

    # 100 MB with a good checksum whose group count claims almost a group
    # a byte: refused at the count, not a MemoryError.
    empty = zp.open(profiles[0]).query_partial(0, kernel="no such kernel")
    body = empty[:-8]
    assert body.endswith(b"\x00\x00")  # no groups, no listed samples
    crafted = body[:-2] + leb128(99_000_000) + bytes(100_000_000)
    crafted += xxh3_64(crafted).to_bytes(8, "little")
    with pytest.raises(zp.PartialError, match="the groups count 99000000"):
        zp.merge_partials([crafted])
