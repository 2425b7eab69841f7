#!/usr/bin/env bash
# Opens a trace written by `zyl-profile trace` in speedscope, in headless
# Chromium, saves a screenshot and fails when speedscope drew any sample as
# running over the later ones of its track (the staircase an overlap of
# ts + dur makes). By hand, not in CI: it needs npm packages and a browser.
#
#   scripts/check-trace-viewer.sh TRACE.json SHOT.png ["Left Heavy"|Sandwich]
#
# Setup once: npm install --prefix /tmp/trace-npm speedscope playwright-core
# and apt-get install chromium. TRACE_NPM and CHROMIUM override those places.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 TRACE.json SHOT.png [VIEW]" >&2
  exit 2
fi
trace=$1
shot=$2
npm_dir=${TRACE_NPM:-/tmp/trace-npm}
here=$(cd "$(dirname "$0")" && pwd)
speedscope="$npm_dir/node_modules/speedscope/dist/release"
if [ ! -f "$speedscope/index.html" ]; then
  echo "$0: no speedscope in $npm_dir (npm install --prefix $npm_dir speedscope playwright-core)" >&2
  exit 1
fi

# speedscope fetches #profileURL from its own origin, so it and the trace are
# served from one scratch folder.
serve=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  rm -rf "$serve"
}
trap cleanup EXIT
cp -r "$speedscope/." "$serve/"
cp "$trace" "$serve/trace.json"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$serve" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do
  if python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html')" 2>/dev/null; then
    break
  fi
  sleep 0.1
done

TRACE_NPM=$npm_dir node "$here/../tests/viewers/speedscope-shot.mjs" \
  "http://127.0.0.1:$port/index.html#profileURL=trace.json" "$shot" ${3:+"$3"}
