#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each for a bounded
# time: `bash scripts/fuzz.sh [seconds-per-target]` (default 60). Each target
# starts from a copy of its committed seeds (plus the examples and the
# malformed-file corpus for the readers) in fuzz/corpus-work/, so new
# findings never dirty the tree. Fails on the first crash, leak or broken
# invariant; the reproducer lands in fuzz/crashes/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets=(fuzz_query fuzz_phase_balance fuzz_occupancy fuzz_read_json fuzz_read_package fuzz_partial)

bash scripts/install-deps.sh --clang
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

for target in "${targets[@]}"; do
  work="fuzz/corpus-work/$target"
  crashes="fuzz/crashes/$target"
  mkdir -p "$work" "$crashes"
  if [[ -d "fuzz/corpus/$target" ]]; then cp -f "fuzz/corpus/$target"/* "$work"/ 2>/dev/null || true; fi
  if [[ "$target" == fuzz_read_* ]]; then
    for seeds in examples tests/robustness/malformed; do
      if [[ -d "$seeds" ]]; then
        find "$seeds" -maxdepth 1 -type f -size -64k -exec cp -f {} "$work"/ \;
      fi
    done
  fi
  # Replay the committed reproducers first: a fixed crash must stay fixed.
  reproducers=()
  while IFS= read -r -d '' file; do reproducers+=("$file"); done \
    < <(find "$crashes" -maxdepth 1 -type f -print0)
  if ((${#reproducers[@]})); then
    "build/fuzz/fuzz/$target" "${reproducers[@]}" >"fuzz/corpus-work/$target.replay.log" 2>&1 || {
      tail -n 40 "fuzz/corpus-work/$target.replay.log" >&2
      echo "fuzz.sh: $target fails on a committed reproducer" >&2
      exit 1
    }
  fi
  echo "== $target: ${seconds}s on $(find "$work" -type f | wc -l) inputs"
  log="fuzz/corpus-work/$target.log"
  dict=()
  if [[ -f "fuzz/$target.dict" ]]; then dict=(-dict="fuzz/$target.dict"); fi
  status=0
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
    "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$crashes/" "${dict[@]}" "$work" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+ +(DONE|INITED)|^stat::' "$log" || true
  if [[ "$status" -ne 0 ]]; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $target failed (exit $status); reproducer in $crashes/" >&2
    exit 1
  fi
done
echo "fuzz.sh: all targets ran clean for ${seconds}s each"
