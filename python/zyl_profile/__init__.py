"""Cycle profiles of a many-tile processor, queried from Python.

    import zyl_profile as zp
    profile = zp.open("run.zpk")
    report = profile.query(group_by="kernel", limit=5)
    report.groups_frame()[["name", "phase_cycles", "average_active_tiles"]]

`open` reads a JSON report or a package into columns (a package is mapped,
not copied); `Profile.query` and `diff` run the C++ engine with the GIL
released and return records whose attributes carry the library's field names.
Every argument is checked before any work, so a typo raises at once with the
valid values in the message.
"""

import copy
import os
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import _zyl_profile as _ext

__all__ = [
    "DiffReport",
    "Profile",
    "QueryReport",
    "ReportError",
    "diff",
    "open",
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


class ReportError(ValueError):
    """A report that could not be read: where and what, as the tool says it.

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
    """A checked query whose window may still be a share of the span."""

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
        if limit is not None:
            query.limit = _count("limit", limit, _U64_MAX)
        query.sample_limit = _count("sample_limit", sample_limit, _U64_MAX)
        self.query = query
        self.bounds = {
            "at_offset": _bound("at_offset", at_offset),
            "from_offset": _bound("from_offset", from_offset),
            "to_offset": _bound("to_offset", to_offset),
        }
        self.threads = _count("threads", threads, _U32_MAX)

    def resolved(self, profile: "_ext.Profile") -> "_ext.Query":
        """A copy of the query with its window in cycles of `profile`'s
        span, so one plan serves both sides of a diff."""
        query = copy.copy(self.query)
        for name, bound in self.bounds.items():
            if isinstance(bound, tuple):
                bound = _ext.percent_of(*bound, profile.profile_span())
            setattr(query, name, bound)
        return query


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
    option had no effect.
    """

    _repr_fields = ("tile_count", "sample_count", "matched_sample_count",
                    "profile_span_cycles", "groups")

    def __init__(self, outcome):
        raw = outcome.report
        self.clock_hz: int = raw.clock_hz
        self.tile_count: int = raw.tile_count
        self.sample_count: int = raw.sample_count
        self.matched_sample_count: int = raw.matched_sample_count
        self.profile_span_cycles: int = raw.profile_span_cycles
        self.profile_span_ms: float = raw.profile_span_ms
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

    def samples(self):
        """Every sample as a pandas DataFrame, in report order.

        Columns: physical_tile, offset and duration (cycles, as the queries
        place samples on their tile's timeline, computed once per profile),
        start_cycle, end_cycle, local_index, phase, epoch, kind, kernel,
        operation, metadata. The numeric columns are read-only numpy views
        of the profile's columns (of a mapped package, with no copy) that
        keep the profile alive; only physical_tile is built. kind, kernel
        and operation are pandas Categoricals over the profile's
        dictionaries (every string of the profile is a category, so
        `.cat.remove_unused_categories()` trims them), with an empty name
        kept as "". metadata holds the id of each sample's metadata list;
        `metadata_list(id)` gives its (name, value) pairs.
        """
        import numpy as np
        import pandas as pd

        columns = self._columns.sample_columns()
        strings = columns["strings"]
        names = pd.Index(strings, dtype=object)
        remap = None
        if not names.is_unique:
            # A package may repeat a string; categories must not.
            names, remap = _unique_strings(strings)

        def categorical(ids):
            # pandas takes signed codes and narrows them to the width the
            # category count needs; the strings are never decoded per sample.
            if remap is not None:
                codes = remap[ids]
            elif len(strings) <= 2**31:
                codes = ids.view(np.int32)  # every id fits: the same bits
            else:
                codes = ids.astype(np.int64)
            return pd.Categorical.from_codes(codes, categories=names)

        kinds = pd.Categorical.from_codes(
            columns["kind"].view(np.int8), categories=list(_KIND))
        frame = {
            "physical_tile": np.repeat(columns["tile_numbers"],
                                       columns["tile_sizes"]).astype(np.uint32),
            "offset": columns["offset"],
            "duration": columns["duration"],
            "start_cycle": columns["start_cycle"],
            "end_cycle": columns["end_cycle"],
            "local_index": columns["local_index"],
            "phase": columns["phase"],
            "epoch": columns["epoch"],
            "kind": kinds,
            "kernel": categorical(columns["kernel"]),
            "operation": categorical(columns["operation"]),
            "metadata": columns["metadata"],
        }
        # copy=False keeps pandas from consolidating the columns into 2-D
        # blocks, which would copy every numeric column.
        return pd.DataFrame(frame, copy=False)

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
        query = plan.resolved(self._columns)
        return QueryReport(self._columns.query(query, plan.threads))


def open(path: Union[str, os.PathLike]) -> Profile:  # noqa: A001 (module API)
    """Reads a report (JSON or package, told apart by its first bytes).

    Raises ReportError, with the file, JSON path, line and column, when the
    file cannot be read or is not a valid report.
    """
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be a str or os.PathLike; got {path!r}")
    opened = _ext.open(text)
    if isinstance(opened, dict):
        raise ReportError(opened)
    return Profile(opened, text)


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
                        "average_active_tiles", "p95_cycles"):
            changes = [getattr(r, measure) for r in rows]
            real = measure == "average_active_tiles"
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
    regresses). base and new are paths or opened Profiles.
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
    base_columns = _as_profile("base", base)
    new_columns = _as_profile("new", new)
    return DiffReport(_ext.diff(base_columns, new_columns,
                                plan.resolved(base_columns),
                                plan.resolved(new_columns), options,
                                plan.threads))


_QUERY_DEFAULTS = {
    "group_by": "kernel", "sort_by": "phase_cycles", "kind": None,
    "kernel": None, "operation_contains": None, "tiles": (), "phases": (),
    "metadata": (), "metadata_key": None, "at_offset": None,
    "from_offset": None, "to_offset": None, "sample_limit": 0, "threads": 0,
}
_QUERY_ARGUMENTS = set(_QUERY_DEFAULTS)
