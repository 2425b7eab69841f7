#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: `bash scripts/test.sh`
# (preset `default`), or with a preset name: ci, asan, debug.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
preset="${1:-default}"
cmake --workflow --preset "$preset"
# The README's tour, run as written, and its recipes for reading exports
# back in DuckDB and pandas; once is enough, so not again under the
# sanitizers.
if [[ "$preset" != asan ]]; then
  bash scripts/check-readme.sh "build/$preset"
  bash scripts/check-export-recipes.sh "build/$preset"
  bash scripts/check-report-page.sh "build/$preset"
fi
