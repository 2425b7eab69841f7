#!/usr/bin/env bash
# Installs what is missing, builds the tool and answers the default question
# (which kernels dominate phase time) on the bundled example profile.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zyl_profile_tool
./build/default/tools/zyl-profile/zyl-profile query examples/small.json "$@"
