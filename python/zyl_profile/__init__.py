"""Cycle profiles of a many-tile processor, queried from Python.

    import zyl_profile as zp
    profile = zp.open("run.zpk")
    report = profile.query(group_by="kernel", limit=5)
    report.groups_frame()[["name", "phase_cycles", "average_active_tiles"]]

`open` reads a JSON report or a package into columns (a package is mapped,
not copied); `Profile.query`, `Profile.phases` and `diff` run the C++ engine
with the GIL
released and return records whose attributes carry the library's field names.
Every argument is checked before any work, so a typo raises at once with the
valid values in the message.

A profile kept as shards (files whose tiles, concatenated in order, are the
whole, as `zyl-profile split` writes them) is queried as one with
`query(paths, ...)`, or across a dask.distributed cluster with
`zyl_profile.dask.query(client, paths, ...)`: each shard gives a partial
result as bytes (`Profile.query_partial`), and partials merged in any order
(`PartialMerge`) finish into the answer the whole profile gives.
"""

import copy
import importlib
import os
from typing import (Any, Callable, Dict, Iterable, List, Optional, Sequence,
                    Tuple, Union)

from . import _zyl_profile as _ext

__all__ = [
    "DiffReport",
    "PartialError",
    "PartialMerge",
    "PhaseBalance",
    "Profile",
    "QueryReport",
    "LoadError",
    "ReportError",
    "diff",
    "merge_partials",
    "open",
    "phases",
    "query",
]

_GROUP_BY = {
    "kind": _ext.GroupBy.kind,
    "kernel": _ext.GroupBy.kernel,
    "operation": _ext.GroupBy.operation,
    "phase": _ext.GroupBy.phase,
    "tile": _ext.GroupBy.tile,
    "metadata": _ext.GroupBy.metadata,
}
_SORT_BY = {
    "phase_cycles": _ext.SortBy.phase_cycles,
    "work_cycles": _ext.SortBy.work_cycles,
    "maximum_cycles": _ext.SortBy.maximum_cycles,
    "samples": _ext.SortBy.samples,
    "name": _ext.SortBy.name,
}
_KIND = {
    "exchange": _ext.StepKind.exchange,
    "compute": _ext.StepKind.compute,
    "synchronization": _ext.StepKind.synchronization,
    "idle": _ext.StepKind.idle,
}
_ORDER = {"absolute": _ext.DiffOrder.absolute, "relative": _ext.DiffOrder.relative}
_SHOW = {
    "all": _ext.DiffShow.all,
    "regressions": _ext.DiffShow.regressions,
    "improvements": _ext.DiffShow.improvements,
}
_U32_MAX = 2**32 - 1
_U64_MAX = 2**64 - 1

# Group fields in the order the command line's JSON writes them, with the
# numpy type of each column of groups_frame().
_GROUP_FIELDS = [
    ("sample_count", "uint64"),
    ("tile_count", "uint64"),
    ("phase_count", "uint64"),
    ("phase_cycles", "uint64"),
    ("phase_ms", "float64"),
    ("work_cycles", "uint64"),
    ("average_active_tiles", "float64"),
    ("mean_cycles", "float64"),
    ("p50_cycles", "uint32"),
    ("p95_cycles", "uint32"),
    ("maximum_cycles", "uint32"),
    ("first_offset", "uint64"),
    ("last_offset", "uint64"),
    ("minimum_cycles", "uint32"),
    ("p99_cycles", "uint32"),
    ("work_percent", "float64"),
]
_SAMPLE_FIELDS = [
    ("physical_tile", "uint32"),
    ("offset", "uint64"),
    ("duration", "uint32"),
    ("phase", "uint32"),
    ("epoch", "uint32"),
    ("kind", "object"),
    ("operation", "object"),
    ("kernel", "object"),
    ("metadata", "object"),
]


class LoadError(ValueError):
    """A profile that could not be read: where and what, as the tool says it
    (a file that cannot be read or parsed, or files that are not one whole
    set of shards).

    str(error) is the tool's one-line message ("run.json:12:18:
    tiles[3].samples[17].start_cycle: expected ..."); the parts are the
    attributes `file`, `json_path`, `line`, `column` (1-based, 0 when
    unknown), `byte_offset` (None when unknown) and `message`.
    """

    def __init__(self, fields: Dict[str, Any]):
        super().__init__(fields["text"])
        self.file: str = fields["file"]
        self.json_path: str = fields["json_path"]
        self.line: int = fields["line"]
        self.column: int = fields["column"]
        self.byte_offset: Optional[int] = fields["byte_offset"]
        self.message: str = fields["message"]
        self._fields = fields

    def __reduce__(self):
        # Pickled by its fields, so an error raised on a dask worker arrives
        # on the client whole.
        return (type(self), (self._fields,))


# The name it had first, kept so that code written against it still runs.
ReportError = LoadError


class PartialError(ValueError):
    """Partial results that could not be read or merged: bytes that are not
    a partial (truncated, damaged, which their checksum finds, of another
    version, or crafted), or partials of different queries, of profiles
    with different clocks, or covering the same shard position twice.

    `message` is the library's text (for bytes, it names the byte offset);
    `source` says which partial, when known (its shard's path, or
    "partial 3" for the fourth of a list); str(error) is
    "<source>: <message>".
    """

    def __init__(self, message: str, source: Optional[str] = None):
        super().__init__(message if source is None else f"{source}: {message}")
        self.message = message
        self.source = source

    def __reduce__(self):
        return (type(self), (self.message, self.source))


def _choice(name: str, value: Any, choices: Dict[str, Any]) -> Any:
    # The command line spells the values with dashes ("work-cycles"); both
    # spellings are accepted so a command can be turned into a call as is.
    if not isinstance(value, str):
        raise TypeError(
            f"{name} must be a str, one of {', '.join(choices)}; got {value!r}")
    found = choices.get(value.replace("-", "_"))
    if found is None:
        raise ValueError(
            f"{name} must be one of {', '.join(choices)}; got {value!r}")
    return found


def _count(name: str, value: Any, maximum: int) -> int:
    # bool is an int to Python, but True as a limit is surely a mistake.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int; got {value!r}")
    if value < 0 or value > maximum:
        raise ValueError(f"{name} must be in 0..{maximum}; got {value}")
    return value


def _optional_str(name: str, value: Any) -> Optional[str]:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str or None; got {value!r}")
    return value


def _numbers(name: str, values: Any) -> set:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{name} must be a collection of ints; got {values!r}")
    return {_count(f"each of {name}", v, _U32_MAX) for v in values}


def _metadata(values: Any) -> List[Any]:
    # A dict or a list of (name, value) pairs; a value of None asks only
    # that the entry exists.
    pairs = values.items() if isinstance(values, dict) else values
    if isinstance(pairs, (str, bytes)) or not isinstance(pairs, Iterable):
        raise TypeError(
            "metadata must be a dict or a list of (name, value) pairs; "
            f"got {values!r}")
    filters = []
    for pair in pairs:
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise TypeError(
                "metadata must be a dict or a list of (name, value) pairs; "
                f"got the item {pair!r}")
        entry = _ext.MetadataFilter()
        entry.name = _optional_str("a metadata name", pair[0])
        if entry.name is None:
            raise TypeError("a metadata name must be a str; got None")
        entry.value = _optional_str("a metadata value", pair[1])
        filters.append(entry)
    return filters


# A point on the timeline: cycles, or "25%" of the profile's span, which is
# known only per profile (a diff resolves it on each side).
_Bound = Union[int, str, None]


def _bound(name: str, value: Any) -> Union[None, int, Tuple[int, int]]:
    if value is None:
        return None
    if isinstance(value, str):
        text = value.strip()
        parsed = _ext.parse_percentage(text) if text.endswith("%") else None
        if parsed is None:
            raise ValueError(
                f"{name} must be cycles (an int) or a percentage of the span "
                f"such as '25%' or '2.5%'; got {value!r}")
        return parsed
    return _count(name, value, _U64_MAX)


class _QueryPlan:
    """A checked query; a window given as a share of the span stays one,
    and the library resolves it against the profile it is asked of."""

    def __init__(self, *, group_by, sort_by, kind, kernel, operation_contains,
                 tiles, phases, metadata, metadata_key, at_offset,
                 from_offset, to_offset, limit, sample_limit, threads):
        query = _ext.Query()
        query.group_by = _choice("group_by", group_by, _GROUP_BY)
        query.sort_by = _choice("sort_by", sort_by, _SORT_BY)
        if kind is not None:
            query.kind = _choice("kind", kind, _KIND)
        query.kernel = _optional_str("kernel", kernel)
        query.operation_contains = _optional_str(
            "operation_contains", operation_contains)
        query.tiles = _numbers("tiles", tiles)
        query.phases = _numbers("phases", phases)
        query.metadata = _metadata(metadata)
        query.metadata_key = _optional_str("metadata_key", metadata_key)
        query.at_offset = _bound("at_offset", at_offset)
        query.from_offset = _bound("from_offset", from_offset)
        query.to_offset = _bound("to_offset", to_offset)
        if limit is not None:
            query.limit = _count("limit", limit, _U64_MAX)
        query.sample_limit = _count("sample_limit", sample_limit, _U64_MAX)
        self.query = query
        self.threads = _count("threads", threads, _U32_MAX)

    @property
    def needs_span(self) -> bool:
        """True when a bound is a share of the span."""
        return self.query.needs_span


def _outcome(outcome):
    """The extension's answer, or its load error raised as LoadError."""
    if isinstance(outcome, dict):
        raise LoadError(outcome)
    return outcome


class _Record:
    """Readable repr for the wrappers below."""

    _repr_fields: Sequence[str] = ()

    def __repr__(self) -> str:
        shown = ", ".join(f"{f}={getattr(self, f)!r}" for f in self._repr_fields)
        return f"{type(self).__name__}({shown})"


def _group_repr(group) -> str:
    return (f"GroupSummary(name={group.name!r}, dimensions={group.dimensions!r}, "
            f"sample_count={group.sample_count}, phase_cycles={group.phase_cycles}, "
            f"work_cycles={group.work_cycles})")


def _sample_repr(sample) -> str:
    return (f"SampleRecord(physical_tile={sample.physical_tile}, "
            f"offset={sample.offset}, duration={sample.duration}, "
            f"kind={sample.kind!r}, kernel={sample.kernel!r}, "
            f"operation={sample.operation!r})")


_ext.GroupSummary.__repr__ = _group_repr
_ext.SampleRecord.__repr__ = _sample_repr


class QueryReport(_Record):
    """The answer to a query; attributes as the C++ QueryReport's fields.

    `groups` is a list of GroupSummary (name, dimensions dict, counts,
    cycles, durations), `samples` a list of SampleRecord (the longest
    matched samples, `metadata` as (name, value) tuples), `notes` the
    sentences the tool prints on stderr: why nothing matched, or which
    option had no effect (empty for an answer merged from partials).
    """

    _repr_fields = ("tile_count", "sample_count", "matched_sample_count",
                    "profile_span_cycles", "groups")

    def __init__(self, outcome):
        raw = outcome.report
        self._raw = raw
        self.clock_hz: int = raw.clock_hz
        self.tile_count: int = raw.tile_count
        self.sample_count: int = raw.sample_count
        self.matched_sample_count: int = raw.matched_sample_count
        self.profile_span_cycles: int = raw.profile_span_cycles
        self.profile_span_ms: float = raw.profile_span_ms
        self.matched_work_cycles: int = raw.matched_work_cycles
        self.at_offset: Optional[int] = raw.at_offset
        self.groups: list = raw.groups
        self.samples: list = raw.samples
        self.notes: List[str] = outcome.notes

    def groups_frame(self):
        """The groups as a pandas DataFrame, one row per group.

        Columns: `name`, `dimensions` (a dict per row: what defines the
        group, whose keys vary with the grouping), then the measures under
        their field names; counts and cycles as uint64 or uint32 (the C++
        types), the rest float64.
        """
        return _frame(self.groups, [("name", "object"), ("dimensions", "object")]
                      + _GROUP_FIELDS)

    def samples_frame(self):
        """The listed samples as a pandas DataFrame, one row per sample.

        Columns are the SampleRecord fields; `metadata` holds a list of
        (name, value) tuples per row. An empty kernel or operation stays "".
        """
        return _frame(self.samples, _SAMPLE_FIELDS)


def _frame(records: list, fields: List[Tuple[str, str]]):
    import numpy as np
    import pandas as pd

    columns = {}
    for name, dtype in fields:
        values = [getattr(r, name) for r in records]
        if dtype == "object":
            column = np.empty(len(values), dtype=object)
            column[:] = values
        else:
            column = np.array(values, dtype=dtype)
        columns[name] = column
    return pd.DataFrame(columns)


def _code_type(categories: int):
    """The narrowest signed type pandas uses for the codes of so many
    categories."""
    import numpy as np

    for type_ in (np.int8, np.int16, np.int32):
        if categories < np.iinfo(type_).max:
            return type_
    return np.int64


def _categorical(codes, dtype):
    """A Categorical over `codes`, valid codes of `dtype`, without copying
    them where pandas allows it.

    from_codes scans the codes to check them and narrows them to the
    smallest type the category count allows, a copy of the column; the
    codes here come from a checked profile, so the check is not needed and
    the copy is avoided by setting the backing array as pandas' own
    constructors do (pandas keeps wider codes than needed when it has to,
    e.g. after a concat, so every operation handles them). Where this
    pandas has no such route, from_codes it is.
    """
    import pandas as pd

    try:
        from pandas._libs.arrays import NDArrayBacked
    except ImportError:
        return pd.Categorical.from_codes(codes, dtype=dtype)
    made = pd.Categorical.__new__(pd.Categorical)
    NDArrayBacked.__init__(made, codes, dtype)
    return made


def _metadata_keys(metadata: Any) -> Tuple[bool, Optional[List[str]]]:
    """Whether metadata columns are asked for, and which keys (None for
    every key)."""
    if metadata is None or metadata is False:
        return False, None
    if metadata is True:
        return True, None
    if isinstance(metadata, str):
        return True, [metadata]
    if isinstance(metadata, bytes) or not isinstance(metadata, Iterable):
        raise TypeError(
            "metadata must be True, a key or a list of keys; "
            f"got {metadata!r}")
    keys = list(metadata)
    for key in keys:
        if not isinstance(key, str):
            raise TypeError(f"each metadata key must be a str; got {key!r}")
    return True, list(dict.fromkeys(keys))


def _unique_strings(strings: List[str]):
    import numpy as np
    import pandas as pd

    first: Dict[str, int] = {}
    remap = np.empty(len(strings), dtype=np.int64)
    for index, text in enumerate(strings):
        remap[index] = first.setdefault(text, len(first))
    return pd.Index(list(first), dtype=object), remap


class Profile:
    """An opened profile: its columns, kept in memory (or mapped) while the
    object lives. Use `open` to make one."""

    def __init__(self, columns, path: str):
        self._columns = columns
        self.path = path

    def __len__(self) -> int:
        """The number of samples."""
        return self._columns.sample_count

    @property
    def tiles(self) -> List[int]:
        """Physical tile numbers, in report order."""
        return self._columns.tiles

    @property
    def clock_hz(self) -> int:
        """Counter frequency; 0 when unknown."""
        return self._columns.clock_hz

    def __repr__(self) -> str:
        return (f"Profile({self.path!r}, samples={len(self)}, "
                f"tiles={len(self._columns.tiles)}, clock_hz={self.clock_hz})")

    def samples(self, *, timeline: bool = True,
                metadata: Union[bool, str, Iterable[str], None] = None):
        """Every sample as a pandas DataFrame, in report order.

        Columns: physical_tile, offset and duration (cycles, as the queries
        place samples on their tile's timeline), start_cycle, end_cycle,
        local_index, phase, epoch, kind, kernel, operation, metadata.

        Memory: start_cycle .. epoch and metadata are read-only numpy views
        of the profile's columns (of a mapped package, with no copy) that
        keep the profile alive. kind, kernel and operation are pandas
        Categoricals whose codes also view the profile's ids where this
        pandas allows it (every string of the profile is a category, so
        `.cat.remove_unused_categories()` trims them); an empty name stays
        "". physical_tile is built, as uint16 when every tile number fits
        (else uint32). offset (uint64) and duration (uint32) are computed
        once per profile and kept with it, 12 bytes a sample: pass
        `timeline=False` to leave them out.

        metadata holds the id of each sample's metadata list, whose (name,
        value) pairs `metadata_list(id)` gives. `metadata=` adds one
        Categorical column "metadata.<key>" per key: True for every key
        used in the profile, or a key or list of keys. A sample whose list
        has no such entry gets "", as an empty kernel does.
        """
        import numpy as np
        import pandas as pd

        if not isinstance(timeline, bool):
            raise TypeError(f"timeline must be a bool; got {timeline!r}")
        with_metadata, keys = _metadata_keys(metadata)
        columns = self._columns.sample_columns(timeline)
        strings = columns["strings"]
        names = pd.Index(strings, dtype=object)
        remap = None
        if not names.is_unique:
            # A package may repeat a string; categories must not.
            names, remap = _unique_strings(strings)
        string_type = pd.CategoricalDtype(names)

        def categorical(ids):
            if remap is not None:
                codes = remap[ids]
            elif len(strings) <= 2**31:
                codes = ids.view(np.int32)  # every id fits: the same bits
            else:
                codes = ids.astype(np.int64)
            return _categorical(codes, string_type)

        tile_numbers = columns["tile_numbers"]
        narrow = (np.uint16 if len(tile_numbers) == 0
                  or tile_numbers.max() <= np.iinfo(np.uint16).max else np.uint32)
        frame = {
            "physical_tile": np.repeat(tile_numbers.astype(narrow),
                                       columns["tile_sizes"]),
        }
        if timeline:
            frame["offset"] = columns["offset"]
            frame["duration"] = columns["duration"]
        # The sample fields in the library's order: numbers and list ids
        # as they are, kinds and strings as Categoricals.
        for name, meaning in _ext.sample_fields:
            if meaning == "kind":
                frame[name] = _categorical(columns[name].view(np.int8),
                                           pd.CategoricalDtype(list(_KIND)))
            elif meaning == "string":
                frame[name] = categorical(columns[name])
            else:
                frame[name] = columns[name]
        if with_metadata:
            frame.update(self._metadata_columns(keys, strings,
                                                columns["metadata"]))
        # copy=False keeps pandas from consolidating the columns into 2-D
        # blocks, which would copy every numeric column.
        return pd.DataFrame(frame, copy=False)

    def _metadata_columns(self, keys: Optional[List[str]], strings: List[str],
                          list_ids) -> Dict[str, Any]:
        """One Categorical per metadata key, "metadata.<key>": the value of
        the key in every list is found once per list, then each sample
        takes its list's code."""
        import numpy as np
        import pandas as pd

        names, table = self._columns.metadata_values(keys)
        added = {}
        for key, values in zip(names, table):
            present = values >= 0
            used = np.unique(values[present])
            # By text, not id: a package may hold a string more than once.
            index: Dict[str, int] = {}
            code_of_used = np.array(
                [index.setdefault(strings[i], len(index)) for i in used],
                dtype=np.int64)
            list_codes = np.empty(len(values), dtype=np.int64)
            list_codes[present] = code_of_used[np.searchsorted(used, values[present])]
            if not present.all():
                list_codes[~present] = index.setdefault("", len(index))
            type_ = pd.CategoricalDtype(pd.Index(list(index), dtype=object))
            codes = list_codes.astype(_code_type(len(index)))[list_ids]
            added[f"metadata.{key}"] = _categorical(codes, type_)
        return added

    def metadata_list(self, list_id: int) -> List[Tuple[str, str]]:
        """The (name, value) entries of metadata list `list_id`, as in the
        `metadata` column of samples()."""
        return self._columns.metadata_list(_count("list_id", list_id, _U32_MAX))

    def query(self, *, group_by: str = "kernel", sort_by: str = "phase_cycles",
              kind: Optional[str] = None, kernel: Optional[str] = None,
              operation_contains: Optional[str] = None,
              tiles: Iterable[int] = (), phases: Iterable[int] = (),
              metadata: Union[Dict[str, Optional[str]],
                              Sequence[Tuple[str, Optional[str]]]] = (),
              metadata_key: Optional[str] = None, at_offset: _Bound = None,
              from_offset: _Bound = None, to_offset: _Bound = None,
              limit: Optional[int] = None, sample_limit: int = 0,
              threads: int = 0) -> QueryReport:
        """Runs a query; the arguments are the C++ Query's fields.

        group_by: kind, kernel, operation, phase, tile or metadata (with
        metadata_key). sort_by: phase_cycles, work_cycles, maximum_cycles,
        samples or name. kind: exchange, compute, synchronization or idle.
        metadata: {"block": "1", "layer": None} (None: the entry exists).
        at_offset, from_offset, to_offset: cycles from each tile's first
        sample, or a share of the span as "25%". threads: 0 for every core.
        """
        plan = _QueryPlan(
            group_by=group_by, sort_by=sort_by, kind=kind, kernel=kernel,
            operation_contains=operation_contains, tiles=tiles, phases=phases,
            metadata=metadata, metadata_key=metadata_key, at_offset=at_offset,
            from_offset=from_offset, to_offset=to_offset, limit=limit,
            sample_limit=sample_limit, threads=threads)
        return QueryReport(_outcome(self._columns.query(plan.query,
                                                        plan.threads)))

    def phases(self, **filters) -> "PhaseBalance":
        """The balance of each (phase, epoch) the matched samples ran in:
        which tile held it up, running what, and how many tile-cycles the
        other tiles waited for it.

        Takes the filters and window of `query` (kind, kernel,
        operation_contains, tiles, phases, metadata, at_offset, from_offset,
        to_offset, threads); grouping, sorting and limits do not apply and
        raise TypeError.

            balance = profile.phases(kind="compute", from_offset="10%")
            balance.rows_frame().head(5)[["phase", "epoch", "slowest_tile",
                                          "wait_cycles"]]
            print(f"{balance.wait_share:.1%} of the tile-cycles waited")
        """
        plan = _phase_plan("phases", filters)
        return PhaseBalance(_outcome(self._columns.phases(plan.query,
                                                          plan.threads)))

    def profile_span(self) -> int:
        """The length in cycles of the longest tile timeline (what a share
        such as "25%" is of); a pass over the columns, done once."""
        return self._columns.profile_span()

    def query_partial(self, position: int = 0, *,
                      profile_span: Optional[int] = None,
                      **query_kwargs) -> bytes:
        """The partial result of a query over this profile as shard
        `position` of a sharded profile (its place in the order the shards'
        tiles concatenate), as bytes that `PartialMerge` merges with the
        other shards' in any order.

        Takes the keyword arguments of `query`. A bound given as a share
        ("25%") is of the whole profile's span, the largest
        `profile_span()` of all shards, which must then be passed as
        `profile_span`: one shard alone cannot know it.
        """
        plan = _plan("query_partial", query_kwargs)
        position = _count("position", position, _U64_MAX)
        if profile_span is not None:
            profile_span = _count("profile_span", profile_span, _U64_MAX)
        elif plan.needs_span:
            raise ValueError(
                "a bound given as a share of the span needs profile_span=, the "
                "largest profile_span() of all the shards")
        query = plan.query
        if profile_span is not None:
            query = _ext.resolve_bounds(query, profile_span)
        return self._columns.query_partial(query, position, plan.threads)


def open(path: Union[str, os.PathLike]) -> Profile:  # noqa: A001 (module API)
    """Reads a report (JSON or package, told apart by its first bytes).

    Raises LoadError, with the file, JSON path, line and column, when the
    file cannot be read or is not a valid report.
    """
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be a str or os.PathLike; got {path!r}")
    opened = _ext.open(text)
    if isinstance(opened, dict):
        raise LoadError(opened)
    return Profile(opened, text)


def _plan(function: str, query_kwargs: Dict[str, Any]) -> _QueryPlan:
    """The checked plan of Profile.query's keyword arguments, for the
    functions that take them through **query_kwargs."""
    unknown = set(query_kwargs) - _QUERY_ARGUMENTS - {"limit"}
    if unknown:
        raise TypeError(
            f"{function}() got unexpected keyword arguments {sorted(unknown)}; "
            f"the query's are {', '.join(sorted(_QUERY_ARGUMENTS | {'limit'}))}")
    arguments = dict(_QUERY_DEFAULTS, limit=None)
    arguments.update(query_kwargs)
    return _QueryPlan(**arguments)


def _phase_plan(function: str, filters: Dict[str, Any]) -> _QueryPlan:
    """The checked plan of a phase balance's keyword arguments: the query's
    filters and window, without what shapes a query's groups."""
    unknown = set(filters) - _FILTER_ARGUMENTS
    if unknown:
        raise TypeError(
            f"{function}() got unexpected keyword arguments {sorted(unknown)}; "
            f"the filters are {', '.join(sorted(_FILTER_ARGUMENTS))}")
    arguments = dict(_QUERY_DEFAULTS, limit=None)
    arguments.update(filters)
    return _QueryPlan(**arguments)


def _shard_paths(paths: Any) -> List[str]:
    """The shards' paths as str, in order; one path is a single shard."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if isinstance(paths, bytes) or not isinstance(paths, Iterable):
        raise TypeError(
            f"paths must be a list of str or os.PathLike; got {paths!r}")
    texts = []
    for path in paths:
        text = os.fspath(path) if isinstance(path, (str, os.PathLike)) else None
        if not isinstance(text, str):
            raise TypeError(
                f"each of paths must be a str or os.PathLike; got {path!r}")
        texts.append(text)
    if not texts:
        raise ValueError("paths must name at least one shard")
    return texts


class PartialMerge:
    """Partial results, as the bytes `Profile.query_partial` gives, merged
    one at a time in any order; `finish()` gives the QueryReport of them
    all, the same as the query over one profile of every shard's tiles.

    `add` and `finish` release the GIL, and several threads may add at
    once.
    """

    def __init__(self):
        self._state = _ext.PartialMerge()

    def add(self, partial: bytes, source: Optional[str] = None) -> None:
        """Merges `partial`. Raises PartialError, naming `source` (say, the
        shard's path) when given, for bytes that are not a partial or a
        partial that does not merge with the rest; the merge is then as it
        was."""
        if not isinstance(partial, (bytes, bytearray, memoryview)):
            raise TypeError(f"a partial must be bytes; got {type(partial).__name__}")
        error = self._state.add(bytes(partial) if isinstance(partial, memoryview)
                                else partial)
        if error is not None:
            raise PartialError(error, source)

    @property
    def shards(self) -> List[int]:
        """The shard positions merged so far, ascending."""
        return self._state.shards

    def finish(self) -> QueryReport:
        """The report of everything merged; the merge cannot be used after.
        Raises ValueError when nothing was merged."""
        outcome = self._state.finish()
        if outcome is None:
            raise ValueError("finish() needs at least one partial merged, once")
        return QueryReport(outcome)


def merge_partials(partials: Iterable[bytes]) -> QueryReport:
    """The report of partial results (bytes from Profile.query_partial),
    merged in the order given, which does not change the answer. Raises
    PartialError naming the partial ("partial 2", counted from 0) at
    fault."""
    merge = PartialMerge()
    for index, partial in enumerate(partials):
        merge.add(partial, f"partial {index}")
    return merge.finish()


def query(paths: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
          *, concatenate: bool = False, **query_kwargs) -> QueryReport:
    """Queries a profile kept as one file or as the shards `zyl-profile
    split` wrote (in any order): what `Profile.query` returns on one file of
    all the tiles, field for field, notes included.

    Takes the keyword arguments of Profile.query, checked before any file is
    opened. The shards are opened one at a time, so memory holds one shard
    (a share such as "25%" is of the whole profile's span: the shards are
    then opened twice, first to find it). Raises LoadError for a file that
    cannot be read, and for files that are not one whole set of shards (one
    missing, given twice, left from another split, or of another profile),
    unless `concatenate` asks for the files' tiles in the order given.
    """
    shards = _shard_paths(paths)
    plan = _plan("query", query_kwargs)
    return QueryReport(_outcome(_ext.query_paths(
        shards, plan.query, plan.threads, bool(concatenate))))


def phases(paths: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
           *, concatenate: bool = False, **filters) -> "PhaseBalance":
    """The phase balance of a profile kept as one file or as the shards
    `zyl-profile split` wrote (in any order): what `Profile.phases` returns
    on one file of all the tiles, field for field.

    Takes the keyword arguments of Profile.phases, checked before any file
    is opened; the files are opened and refused as `query(paths)` does.

        balance = zp.phases(glob.glob("shards/run-*.zpk"), kind="compute")
        balance.rows_frame()[["phase", "epoch", "wait_cycles"]]
    """
    shards = _shard_paths(paths)
    plan = _phase_plan("phases", filters)
    return PhaseBalance(_outcome(_ext.phases_paths(
        shards, plan.query, plan.threads, bool(concatenate))))


def _shard_order(paths: Any, concatenate: bool = False) -> List[str]:
    """The paths of a profile's files in shard order, checked from their
    headers to be one whole set; raises LoadError when they are not."""
    return _outcome(_ext.shard_order(_shard_paths(paths), bool(concatenate)))


def __getattr__(name: str):
    # zyl_profile.dask is imported on first use, so importing zyl_profile
    # needs no dask.
    if name == "dask":
        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _change_repr(change) -> str:
    fields = ("base", "next", "magnitude", "negative", "percent", "regressed")
    shown = ", ".join(f"{f}={getattr(change, f)!r}" for f in fields
                      if hasattr(change, f))
    return f"{type(change).__name__}({shown})"


def _real_repr(change) -> str:
    return (f"RealChange(base={change.base!r}, next={change.next!r}, "
            f"change={change.change!r}, percent={change.percent!r})")


def _row_repr(row) -> str:
    return (f"DiffRow(name={row.name!r}, status={row.status!r}, "
            f"phase_cycles={row.phase_cycles.base}->{row.phase_cycles.next})")


_ext.CountChange.__repr__ = _change_repr
_ext.RealChange.__repr__ = _real_repr
_ext.DiffRow.__repr__ = _row_repr
# The C++ field is `next` (`new` is a keyword there); the tool's JSON says
# "new", so both read the same value.
_ext.CountChange.new = property(lambda change: change.next)
_ext.RealChange.new = property(lambda change: change.next)
# A signed change is easier to use than sign and magnitude in Python, where
# integers have no size.
_ext.CountChange.change = property(
    lambda c: -c.magnitude if c.negative else c.magnitude)


class DiffReport(_Record):
    """Two profiles compared; attributes as the C++ DiffReport's fields.

    `rows` holds one DiffRow per joined group (name, dimensions, status as
    "same", "changed", "new" or "gone", and a CountChange or RealChange per
    measure), ordered and cut as asked; `regressed` is True when the span or
    a group grew by more than `fail_above` percent.
    """

    _repr_fields = ("group_count", "changed_count", "shown_count", "regressed",
                    "rows")

    def __init__(self, raw):
        self.rows: list = raw.rows
        self.group_count: int = raw.group_count
        self.changed_count: int = raw.changed_count
        self.shown_count: int = raw.shown_count
        self.profile_span_cycles = raw.profile_span_cycles
        self.matched_sample_count = raw.matched_sample_count
        fail_above = raw.fail_above
        self.fail_above: Optional[float] = (
            None if fail_above is None else fail_above[0] / fail_above[1])
        self.order: str = raw.order.name
        self.show: str = raw.show.name
        self.regressed_groups: List[str] = raw.regressed_groups
        self.regressed: bool = raw.regressed

    def rows_frame(self):
        """The rows as a pandas DataFrame, one row per group: `name`,
        `dimensions` (dict), `status`, then for each measure its base, new
        and signed change (`phase_cycles_base`, `phase_cycles_new`,
        `phase_cycles_change`), its percent (float, NaN where there is
        none) and, for phase cycles, `phase_cycles_regressed`."""
        import numpy as np
        import pandas as pd

        rows = self.rows
        columns: Dict[str, Any] = {}

        def objects(values):
            column = np.empty(len(values), dtype=object)
            column[:] = values
            return column

        columns["name"] = objects([r.name for r in rows])
        columns["dimensions"] = objects([r.dimensions for r in rows])
        columns["status"] = objects([r.status for r in rows])
        for measure in ("phase_cycles", "work_cycles", "sample_count",
                        "average_active_tiles", "p95_cycles", "work_percent"):
            changes = [getattr(r, measure) for r in rows]
            real = measure in ("average_active_tiles", "work_percent")
            number = "float64" if real else "uint64"
            columns[f"{measure}_base"] = np.array(
                [c.base for c in changes], dtype=number)
            columns[f"{measure}_new"] = np.array(
                [c.next for c in changes], dtype=number)
            # A u64 change can reach beyond int64 in either direction, so
            # counts keep Python integers.
            columns[f"{measure}_change"] = (
                np.array([c.change for c in changes], dtype="float64") if real
                else objects([c.change for c in changes]))
            columns[f"{measure}_percent"] = np.array(
                [np.nan if c.percent is None else c.percent for c in changes],
                dtype="float64")
            if measure == "phase_cycles":
                columns["phase_cycles_regressed"] = np.array(
                    [c.regressed for c in changes], dtype=bool)
        return pd.DataFrame(columns)


def _row_of_phase_repr(row) -> str:
    return (f"PhaseRow(phase={row.phase}, epoch={row.epoch}, tiles={row.tiles}, "
            f"slowest_tile={row.slowest_tile}, "
            f"slowest_kernel={row.slowest_kernel!r}, "
            f"wait_cycles={row.wait_cycles}, "
            f"wait_measure={row.wait_measure.name!r})")


def _totals_repr(totals) -> str:
    return (f"PhaseTotals(wait_cycles={totals.wait_cycles}, "
            f"busy_cycles={totals.busy_cycles}, "
            f"tile_cycles={totals.tile_cycles})")


_ext.PhaseRow.__repr__ = _row_of_phase_repr
_ext.PhaseTotals.__repr__ = _totals_repr

# Row fields in the header's order, with the numpy type of each column of
# rows_frame(): the C++ types, except the wait measure, a Categorical.
_PHASE_FIELDS = [
    ("phase", "uint32"),
    ("epoch", "uint32"),
    ("start", "uint64"),
    ("end", "uint64"),
    ("span", "uint64"),
    ("tiles", "uint64"),
    ("compute_cycles", "uint64"),
    ("exchange_cycles", "uint64"),
    ("synchronization_cycles", "uint64"),
    ("idle_cycles", "uint64"),
    ("busy_cycles", "uint64"),
    ("slowest_tile", "uint32"),
    ("slowest_busy_cycles", "uint64"),
    ("slowest_kernel", "object"),
    ("mean_busy_cycles", "float64"),
    ("median_busy_cycles", "uint64"),
    ("wait_cycles", "uint64"),
]
# In the order of the C++ enum's values, which are the Categorical's codes.
_WAIT_MEASURES = ["synchronization", "imbalance"]


class PhaseBalance(_Record):
    """The balance of each (phase, epoch): attributes as the C++
    PhaseBalance's fields.

    `rows` holds one PhaseRow per pair with a matched sample, most wait
    first (then phase and epoch ascending), with the fields of the C++
    record (`wait_measure` is a WaitMeasure whose `.name` is
    "synchronization" or "imbalance"); `totals` sums their wait, busy and
    tile cycles. A tile is a position in the profile's tile order, so a
    physical tile that appears twice counts twice.

        balance = profile.phases(phases=[2, 3])
        worst = balance.rows[0]
        print(worst.phase, worst.epoch, worst.slowest_tile, worst.wait_cycles)
    """

    _repr_fields = ("clock_hz", "matched_sample_count", "totals")

    def __init__(self, raw):
        self._raw = raw
        self.clock_hz: int = raw.clock_hz
        self.matched_sample_count: int = raw.matched_sample_count
        self.rows: list = raw.rows
        self.totals = raw.totals

    def __repr__(self) -> str:
        # A profile has a row per superstep, often hundreds: the count
        # says enough, and rows_frame() shows them.
        return f"{super().__repr__()[:-1]}, rows={len(self.rows)})"

    @property
    def wait_share(self) -> float:
        """The share of the pairs' tile-cycles spent waiting,
        totals.wait_cycles / totals.tile_cycles; 0.0 when there are none."""
        return self.totals.wait_share

    def rows_frame(self):
        """The rows as a pandas DataFrame, one row per (phase, epoch) in the
        order of `rows`: the PhaseRow fields under their names, counts and
        cycles as uint32 or uint64 (the C++ types), mean_busy_cycles as
        float64, slowest_kernel as str ("" when the slowest tile ran no
        matched compute), and wait_measure as a Categorical of
        "synchronization" and "imbalance".

            frame = balance.rows_frame()
            frame[frame.wait_measure == "imbalance"].nlargest(3, "wait_cycles")
        """
        import numpy as np
        import pandas as pd

        frame = _frame(self.rows, _PHASE_FIELDS)
        codes = np.array([int(r.wait_measure) for r in self.rows], dtype=np.int8)
        frame["wait_measure"] = pd.Categorical.from_codes(
            codes, categories=_WAIT_MEASURES)
        return frame


def _fail_above(value: Any) -> Optional[Tuple[int, int]]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise TypeError(
            f"fail_above must be a percentage such as 5, 2.5 or '2.5%'; got {value!r}")
    parsed = _ext.parse_percentage(str(value).strip())
    if parsed is None:
        raise ValueError(
            "fail_above must be a percentage: digits with at most 6 decimals, "
            f"such as 5, 2.5 or '2.5%'; got {value!r}")
    return parsed


def _as_profile(name: str, value: Any):
    if isinstance(value, Profile):
        return value._columns
    if isinstance(value, (str, os.PathLike)):
        return open(value)._columns
    raise TypeError(f"{name} must be a path or a Profile; got {value!r}")


def diff(base: Union[str, os.PathLike, Profile],
         new: Union[str, os.PathLike, Profile], *, order: str = "absolute",
         show: str = "all", fail_above: Union[int, float, str, None] = None,
         limit: Optional[int] = None, **query_kwargs) -> DiffReport:
    """Compares two profiles: the same query on both, groups joined by name
    and dimensions.

    Takes the keyword arguments of Profile.query (a window given as "25%" is
    a share of each profile's own span; `limit` cuts the rows, not the
    groups; `sample_limit` has no effect), plus order ("absolute" or
    "relative" change of phase cycles), show ("all", "regressions" or
    "improvements") and fail_above (a percentage: a count that grew by more
    regresses). base and new are paths, opened Profiles, or lists of the
    shard paths of one profile each.
    """
    unknown = set(query_kwargs) - _QUERY_ARGUMENTS
    if unknown:
        raise TypeError(
            f"diff() got unexpected keyword arguments {sorted(unknown)}; "
            f"the query's are {', '.join(sorted(_QUERY_ARGUMENTS))}")
    arguments = dict(_QUERY_DEFAULTS)
    arguments.update(query_kwargs)
    plan = _QueryPlan(limit=None, **arguments)
    options = _ext.DiffOptions()
    options.order = _choice("order", order, _ORDER)
    options.show = _choice("show", show, _SHOW)
    options.fail_above = _fail_above(fail_above)
    if limit is not None:
        options.limit = _count("limit", limit, _U64_MAX)
    if _is_path_list(base) or _is_path_list(new):
        # Shards: each side opened as a set, one shard at a time.
        return DiffReport(_outcome(_ext.diff_paths(
            _side_paths("base", base), _side_paths("new", new), plan.query,
            options, plan.threads)))
    base_columns = _as_profile("base", base)
    new_columns = _as_profile("new", new)
    return DiffReport(_outcome(_ext.diff(base_columns, new_columns, plan.query,
                                         options, plan.threads)))


def _is_path_list(value: Any) -> bool:
    return isinstance(value, (list, tuple))


def _side_paths(name: str, value: Any) -> List[str]:
    """One side of a diff as the paths of its files."""
    if isinstance(value, Profile):
        return [value.path]
    try:
        return _shard_paths(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a path, a list of shard paths or a "
                        f"Profile; got {value!r}") from error


_QUERY_DEFAULTS = {
    "group_by": "kernel", "sort_by": "phase_cycles", "kind": None,
    "kernel": None, "operation_contains": None, "tiles": (), "phases": (),
    "metadata": (), "metadata_key": None, "at_offset": None,
    "from_offset": None, "to_offset": None, "sample_limit": 0, "threads": 0,
}
_QUERY_ARGUMENTS = set(_QUERY_DEFAULTS)
# The keywords that choose samples and a window, which a phase balance
# takes; the rest shape a query's groups and listing.
_FILTER_ARGUMENTS = _QUERY_ARGUMENTS - {
    "group_by", "sort_by", "metadata_key", "sample_limit"}
