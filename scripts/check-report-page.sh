#!/usr/bin/env bash
# Checks `zyl-profile report` pages in a real browser: the page of the
# bundled example, of a generated profile of about a million samples and a
# comparison are opened from file:// in Debian's headless Chromium, driven
# by playwright-core, and must draw without an error, with maps of the
# expected rows and columns, a tooltip over a busy cell, as many chart and
# table rows as groups, and the phase balance's bars, table rows and marks
# on the map, naming the planted straggler (tests/support/check_page.mjs).
#   bash scripts/check-report-page.sh BUILD_DIR
# Installs what is missing: playwright-core from the npm registry into
# BUILD_DIR/report-pages/npm (kept there as a cache; its own browser
# downloads are not used), Debian's chromium. Screenshots are left in
# BUILD_DIR/report-pages/*.png for CI to keep.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/test-tools.sh"
build="$(build_folder "$@")"
tool="$(built_tool "$build")"
work="$build/report-pages"
# Checked against this release; a newer one is taken on purpose, by changing
# the pin, never by surprise.
playwright_package="playwright-core@1.65.2"
chromium=/usr/bin/chromium

need_node_and_npm
apt_install_unless chromium "[[ -x '$chromium' ]]"
npm_install_pinned "$work/npm" "$playwright_package" \
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1

rm -f "$work"/*.html "$work"/*.png "$work"/*.json
"$tool" report "$root/examples/small.json" -o "$work/small.html"
# Nothing matched and no tile at all: the page says so, without an error.
"$tool" report "$root/examples/small.json" --kernel no-such-kernel \
  -o "$work/nothing.html"
echo '{"format":"zyl-profile-report","version":1,"clock_hz":0,"tiles":[]}' \
  >"$work/no-tiles.json"
"$tool" report "$work/no-tiles.json" -o "$work/no-tiles.html"
# Bulk-synchronous with a straggler, so the phase balance has real
# supersteps to list and one tile to blame; the model is named, whatever
# the default.
"$tool" generate --model bulk-synchronous --straggler 639=1.5 --tiles 1472 \
  --samples 1000000 --seed 3 -o "$work/run.zpk"
"$tool" report "$work/run.zpk" -o "$work/run.html"
"$tool" report "$work/run.zpk" --group-by phase --from 10% --to 90% \
  -o "$work/phases.html"
"$tool" generate --model bulk-synchronous --tiles 1472 --samples 1000000 \
  --seed 4 -o "$work/next.zpk"
"$tool" report "$work/run.zpk" "$work/next.zpk" --limit 40 -o "$work/diff.html"
rm -f "$work/run.zpk" "$work/next.zpk"

CHROMIUM="$chromium" node "$root/tests/support/check_page.mjs" \
  "$work/npm" "$work" --phase-rows run.html=20 --straggler run.html=639 \
  --phase-rows nothing.html=0 "$work/small.html" "$work/run.html" \
  "$work/phases.html" "$work/diff.html" "$work/nothing.html" \
  "$work/no-tiles.html"
