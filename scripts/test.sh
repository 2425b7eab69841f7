#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: `bash scripts/test.sh`
# (preset `default`), or with a preset name: ci, asan, debug.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
preset="${1:-default}"
cmake --workflow --preset "$preset"
