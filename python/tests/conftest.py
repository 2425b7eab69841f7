"""Fixtures shared by the tests: the built command-line tool, which the
bindings are checked against, and small generated profiles."""

import json
import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("ZYL_PROFILE_TOOL")
    if not path or not os.path.exists(path):
        pytest.skip("ZYL_PROFILE_TOOL does not name the built zyl-profile")
    return path


def run_tool(tool, *args):
    """Runs the tool and returns its parsed JSON output."""
    done = subprocess.run([tool, *map(str, args), "--format", "json"],
                          capture_output=True, text=True, check=False)
    assert done.returncode in (0, 3), done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="session")
def profiles(tool, tmp_path_factory):
    """Three small profiles, JSON and package, with few kernels so that
    filters and groups overlap."""
    folder = tmp_path_factory.mktemp("profiles")
    paths = []
    for seed, suffix in ((1, "json"), (2, "zpk"), (3, "json")):
        path = folder / f"seed{seed}.{suffix}"
        subprocess.run([tool, "generate", "-o", str(path), "--tiles", "8",
                        "--samples-per-tile", "50", "--seed", str(seed),
                        "--kernels", "12", "--operations", "6", "--phases", "5"],
                       check=True, capture_output=True)
        paths.append(path)
    return paths


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
