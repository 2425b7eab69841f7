#!/usr/bin/env bash
# A serve session end to end: the tool started in the background over a
# split BASE and a whole NEW, asked through bash's /dev/tcp (no HTTP client
# is needed on the machine) for the answers query, phases and diff print,
# a bad parameter and a foreign Host refused, then SIGTERM, after which it
# must exit 0 promptly. Usage: serve_session.sh TOOL WORK
set -euo pipefail
tool=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() { echo "serve_session: $*" >&2; exit 1; }

"$tool" generate -o base.zpk --tiles 16 --samples 20000 --seed 1
"$tool" generate -o new.zpk --tiles 16 --samples 20000 --seed 1 --straggler 5=1.5
"$tool" split base.zpk -o shards/base --shards 3

"$tool" serve shards/base-*.zpk new.zpk >url.txt 2>err.txt &
server=$!
trap 'kill -9 $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s url.txt ] && break
  sleep 0.1
done
url=$(head -n 1 url.txt)
[[ $url =~ ^http://127\.0\.0\.1:([0-9]+)/$ ]] || fail "no URL printed: '$url'"
port=${BASH_REMATCH[1]}

# Prints the status code, then the body, of GET TARGET with Host HOST.
get() {
  local target=$1 host=${2:-127.0.0.1:$port}
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' \
    "$target" "$host" >&3
  local response
  response=$(cat <&3; echo .)
  exec 3<&-
  response=${response%.}
  local status=${response#HTTP/1.1 }
  echo "${status%% *}"
  printf '%s' "${response#*$'\r\n\r\n'}"
}

same() {  # TARGET then the command line whose stdout it must equal
  local target=$1
  shift
  get "$target" >got.txt
  { echo 200; "$@"; } >want.txt
  cmp -s got.txt want.txt || fail "$target differs from $*: $(diff got.txt want.txt | head -5)"
}

same "/api/query?group-by=tile&kind=compute&tile=2-9" \
  "$tool" query shards/base-*.zpk --group-by tile --kind compute --tile 2-9 --format json
same "/api/query?profile=new&from=10%25&sample-limit=3" \
  "$tool" query new.zpk --from 10% --sample-limit 3 --format json
same "/api/phases?limit=5" \
  "$tool" phases shards/base-*.zpk --limit 5 --format json
same "/api/diff?group-by=phase" \
  "$tool" diff shards/base-*.zpk new.zpk --group-by phase --format json

get "/api/query?kind=bogus" >got.txt
grep -q '^400$' got.txt || fail "a bad parameter is not refused: $(cat got.txt)"
message=$("$tool" query base.zpk --kind bogus 2>&1 >/dev/null | head -n 1 || true)
grep -qF -e "${message#zyl-profile: }" got.txt || fail "not the command line's message: $(cat got.txt)"
# Into a file first: with pipefail, `head` closing the pipe early would fail
# the writer with SIGPIPE and so the check, whatever the status was.
get "/api/info" "attacker.example:$port" >got.txt
head -n 1 got.txt | grep -q '^403$' || fail "a foreign Host is answered: $(head -n 1 got.txt)"

kill -TERM "$server"
for _ in $(seq 50); do
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$server" 2>/dev/null && fail "still running 5 s after SIGTERM"
status=0
wait "$server" || status=$?
trap - EXIT
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat err.txt)"
[ ! -s err.txt ] || fail "unexpected stderr: $(cat err.txt)"
echo "serve session passed"
