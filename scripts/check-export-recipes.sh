#!/usr/bin/env bash
# Checks that the README's recipes for reading exports back (DuckDB and pandas,
# CSV and JSON lines) return every sample exactly: a generated profile and a
# hand-made one full of awkward strings are exported with the built tool and
# read back with each recipe, field for field.
#   bash scripts/check-export-recipes.sh BUILD_DIR
# Installs what is missing: DuckDB's Node package from the npm registry into
# BUILD_DIR/export-recipes (kept there as a cache), Debian's python3-pandas.
# Needs node and npm (Debian nodejs). Exits non-zero on any difference.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/test-tools.sh"
build="$(build_folder "$@")"
tool="$(built_tool "$build")"
work="$build/export-recipes"
# The recipes were checked against this release; a newer one is taken on
# purpose, by changing the pin, never by surprise.
duckdb_package="@duckdb/node-api@1.5.6-r.1"
# Debian's pandas lives under the system interpreter, whatever python3 is
# first on PATH.
python=/usr/bin/python3

need_node_and_npm
npm_install_pinned "$work/npm" "$duckdb_package"
apt_install_unless python3-pandas "'$python' -c 'import pandas'"

generated="$work/generated.json"
"$tool" generate --tiles 16 --samples-per-tile 200 --seed 3 -o "$generated"

"$python" "$root/tests/exports/check_recipes.py" "$tool" "$work/run" \
  "$work/npm/node_modules" "$generated" "$root/tests/exports/hostile.json" \
  "$root/tests/exports/nul.json"
