#!/usr/bin/env bash
# Builds the concurrency test under ThreadSanitizer (preset `tsan`) and runs
# it: many queries at once over one shared report. `bash scripts/tsan.sh`;
# fails on any data race or wrong result.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --clang
cmake --workflow --preset tsan
