#!/usr/bin/env bash
# Runs the README's tour as a reader would: every ```sh block from "## Asking
# questions" up to "## Profiles of any size", in order, in one shell from the
# repository root, with the tool of BUILD_DIR (the README says
# build/default). Fails on the first command that fails. Also checks that the
# export read-back recipes the README shows are the ones
# check-export-recipes.sh runs.
#   bash scripts/check-readme.sh BUILD_DIR
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
build="$1"
[[ -x "$build/tools/zyl-profile/zyl-profile" ]] ||
  { echo "error: $build/tools/zyl-profile/zyl-profile not found; build first" >&2; exit 1; }

tour=$(awk '
  /^## Asking questions/ { on = 1 }
  /^## Profiles of any size/ { on = 0 }
  on && /^```sh$/ { block = 1; next }
  block && /^```$/ { block = 0; next }
  block { print }
' README.md)
[[ -n "$tour" ]] || { echo "error: no tour found in README.md" >&2; exit 1; }
tour=${tour//build\/default\//$build/}

before=$(git status --porcelain 2>/dev/null || true)
echo "== running the README tour with $build" >&2
bash -euo pipefail -c "$tour" >/dev/null
after=$(git status --porcelain 2>/dev/null || true)
if [[ "$before" != "$after" ]]; then
  echo "error: the README tour wrote into the repository:" >&2
  diff <(echo "$before") <(echo "$after") >&2 || true
  exit 1
fi

for recipe in tests/exports/recipes/*; do
  if ! grep -qxF "$(cat "$recipe")" README.md; then
    echo "error: README.md does not show the recipe $recipe as it is checked" >&2
    exit 1
  fi
done
echo "README tour and recipes: ok" >&2
