"""Fixtures shared by the tests: small profiles written by the library's
own generator, and random reports for what the generator never writes."""

import json
import pathlib

import pytest

from zyl_profile import _zyl_profile_testing as testing


@pytest.fixture(scope="session")
def profiles(tmp_path_factory):
    """Three small profiles, JSON and package, with few kernels so that
    filters and groups overlap."""
    folder = tmp_path_factory.mktemp("profiles")
    paths = []
    for seed, suffix in ((1, "json"), (2, "zpk"), (3, "json")):
        path = folder / f"seed{seed}.{suffix}"
        testing.generate(str(path), tiles=8, samples_per_tile=50, seed=seed,
                         kernels=12, operations=6, phases=5)
        paths.append(path)
    return paths


def split(path, prefix, shards, compress=False):
    """Cuts the profile at `path` into package shards <prefix>-<index>.zpk
    with the library's shard writer; returns their paths in shard order."""
    return [pathlib.Path(p) for p in testing.split(
        str(path), str(prefix), shards, compress=compress)]


KERNELS = ["", "conv", "matmul", "softmax", "gelu"]
OPERATIONS = ["fwd.proj", "fwd.attn", "bwd.proj", "opt.step"]


def random_report(rng, tiles, clock_hz=1_000_000):
    """A report as the JSON dict, with tiles in a random order, some empty,
    some timelines wrapping the 32-bit counter, metadata lists that repeat a
    key or lack one."""
    numbers = rng.sample(range(tiles * 3), tiles)
    report = {"format": "zyl-profile-report", "version": 1,
              "clock_hz": clock_hz, "tiles": []}
    for number in numbers:
        samples = []
        cycle = rng.choice([rng.randrange(1000), 2**32 - rng.randrange(1, 5000)])
        for _ in range(rng.choice([0, rng.randint(1, 40)])):
            cycle = (cycle + rng.randrange(0, 300)) % 2**32
            duration = rng.choice([0, rng.randrange(1, 500)])
            metadata = [{"name": rng.choice(["block", "layer"]),
                         "value": str(rng.randrange(4))}
                        for _ in range(rng.randint(0, 3))]
            samples.append({
                "start_cycle": cycle, "end_cycle": (cycle + duration) % 2**32,
                "step": {"local_index": rng.randrange(3),
                         "phase": rng.randrange(5), "epoch": rng.randrange(2),
                         "operation": rng.choice(OPERATIONS),
                         "kind": rng.choice(["exchange", "compute",
                                             "synchronization", "idle"]),
                         "kernel": rng.choice(KERNELS), "metadata": metadata}})
            cycle = (cycle + duration) % 2**32
        report["tiles"].append({"physical_tile": number, "samples": samples})
    return report


def write_report(path, report):
    path.write_text(json.dumps(report))
    return path
