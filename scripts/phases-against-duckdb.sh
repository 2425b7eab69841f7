#!/usr/bin/env bash
# Side by side, in one run: a whole `zyl-profile phases` process against
# DuckDB asking the same question in SQL over a Parquet file of the same
# samples (the peers' duckdb_phase_balance.js), alternating, and the default
# `zyl-profile query` beside them for the ratio of the two questions.
#   bash scripts/phases-against-duckdb.sh ZYL_PROFILE REPORT [RUNS] [THREADS]
# PEERS (default ../shared/peers beside the repository) holds the peers'
# harness; its first-answer.sh writes the Parquet file once (and installs
# DuckDB from npm into $ZYL_PEERS_DIR, never into the project), so this
# script runs it first, for one round.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
peers=${PEERS:-$root/../shared/peers}
exe=$(realpath "${1:?usage: phases-against-duckdb.sh ZYL_PROFILE REPORT [RUNS] [THREADS]}")
report=$(realpath "${2:?usage: phases-against-duckdb.sh ZYL_PROFILE REPORT [RUNS] [THREADS]}")
runs=${3:-5}
threads=${4:-2}
[[ -f "$peers/duckdb_phase_balance.js" ]] ||
  { echo "error: $peers/duckdb_phase_balance.js not found; set PEERS" >&2; exit 1; }
work=${ZYL_PEERS_DIR:-$(dirname "$(mktemp -u)")/zyl-peers}
bash "$peers/first-answer.sh" "$exe" "$report" 1 "$threads" >/dev/null
# The Parquet file's name, as first-answer.sh keys it.
key=$(printf '%s %s' "$report" "$(stat -c '%s %Y' "$report")" | sha1sum | cut -c1-12)
parquet=$work/$key.parquet
[[ -f "$parquet" ]] || { echo "error: $parquet was not written" >&2; exit 1; }

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
phases=(); duck=(); query=()
for ((i = 0; i < runs; i++)); do
  s=$(date +%s%N)
  "$exe" phases "$report" --threads "$threads" >/dev/null
  phases+=("$(ms_since "$s")")
  s=$(date +%s%N)
  NODE_PATH="$work/node_modules" node "$peers/duckdb_phase_balance.js" \
    "$parquet" "$threads" >"$work/phases-duck.out"
  duck+=("$(ms_since "$s")")
  s=$(date +%s%N)
  "$exe" query "$report" --threads "$threads" >/dev/null
  query+=("$(ms_since "$s")")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mp=$(median "${phases[@]}")
md=$(median "${duck[@]}")
mq=$(median "${query[@]}")
echo "zyl-profile phases: ${phases[*]} ms (median $mp)"
echo "duckdb phase balance over parquet: ${duck[*]} ms (median $md); $(cat "$work/phases-duck.out")"
echo "zyl-profile query: ${query[*]} ms (median $mq)"
awk -v d="$md" -v p="$mp" -v q="$mq" -v t="$threads" 'BEGIN {
  printf "DuckDB time / phases time: %.2fx; phases / default query: %.2fx (%s threads)\n", d / p, p / q, t }'
