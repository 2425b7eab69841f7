"""A sharded profile queried across a dask.distributed cluster.

Each worker opens its shards where they lie and sends back only the partial
result, a few kilobytes to a few megabytes whatever the shard's size; the
client merges the partials as they arrive. Against a running scheduler:

    from distributed import Client
    import zyl_profile as zp

    client = Client("tcp://scheduler-host:8786")
    report = zp.dask.query(client, ["/data/run-0.zpk", "/data/run-1.zpk"],
                           group_by="kernel", from_offset="25%")
    report.groups_frame()

The paths are opened by the workers, not the client: every worker must be
able to read every shard at the same path (a shared file system, or a copy
at the same place on each machine), and must be able to import zyl_profile.
dask itself is imported only when `query` is called.
"""

import os
from typing import Sequence, Union

import zyl_profile as _zp

__all__ = ["query"]


def _shard_span(path: str) -> int:
    """Runs on a worker: the span of one shard, in cycles."""
    return _zp.open(path).profile_span()


def _shard_partial(path: str, position: int, query, threads: int):
    """Runs on a worker: the partial result of one shard, as bytes, and the
    facts its notes need.

    Module-level so it pickles by reference; `query` is the extension's
    Query with its window already in cycles of the whole profile's span.
    """
    columns = _zp.open(path)._columns
    return (columns.query_partial(query, position, threads),
            columns.note_facts(query, False))


def _shard_empty_facts(path: str, query):
    """Runs on a worker: the facts that tell which filter of an empty
    answer matched nothing, which read the shard's sample columns."""
    return _zp.open(path)._columns.note_facts(query, True)


def query(client, paths: Union[str, os.PathLike,
                               Sequence[Union[str, os.PathLike]]],
          *, concatenate: bool = False, **query_kwargs) -> "_zp.QueryReport":
    """Queries a profile kept as shards on the workers of `client`, a
    distributed.Client: what `zyl_profile.query(paths, ...)` returns, notes
    included, computed with one task per shard.

    Takes the keyword arguments of Profile.query, checked here before any
    task is submitted; `threads` is each task's thread count (0: every core
    of its worker's machine). The shards' headers are read here first, so a
    set that is incomplete, repeated or mixed raises LoadError before any
    task runs (`concatenate` takes the files as given). A share such as
    "25%" is of the whole profile's span, so it costs a first round of small
    tasks, one per shard, that read each shard's span.

    A task that fails raises its error here (a LoadError for a shard a
    worker could not read), and the other tasks are cancelled; shards that
    do not merge (different clocks) raise PartialError naming the shard.
    """
    plan = _zp._plan("query", query_kwargs)
    if not callable(getattr(client, "submit", None)):
        raise TypeError(
            f"client must be a distributed.Client; got {client!r}")
    shards = _zp._shard_order(paths, concatenate)
    from distributed import as_completed

    # pure=False: a shard rewritten since an earlier call must be read
    # again, not answered from a result the cluster still holds.
    query = plan.query
    if plan.needs_span:
        spans = client.map(_shard_span, shards, pure=False)
        try:
            query = _zp._ext.resolve_bounds(query, max(client.gather(spans)))
        finally:
            client.cancel(spans)

    futures = [client.submit(_shard_partial, path, position, query,
                             plan.threads, pure=False)
               for position, path in enumerate(shards)]
    path_of = {future.key: path for future, path in zip(futures, shards)}
    merge = _zp.PartialMerge()
    facts = []
    try:
        for future, (partial, shard_facts) in as_completed(
                futures, with_results=True):
            merge.add(partial, path_of[future.key])
            facts.append(shard_facts)
    except BaseException:
        # The answer is lost with one shard; the rest need not run.
        client.cancel(futures)
        raise
    report = merge.finish()
    if report.matched_sample_count == 0:
        # Why nothing matched reads every shard's sample columns: a second
        # round, taken only for an empty answer.
        rounds = client.map(_shard_empty_facts, shards, query=query, pure=False)
        try:
            facts = client.gather(rounds)
        finally:
            client.cancel(rounds)
    report.notes = _zp._ext.explain(facts, query, report._raw)
    return report
