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
