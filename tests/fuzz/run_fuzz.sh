#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz harness of a VORNA_FUZZ build for a bounded time, each on a fresh
# copy of its seeds, and prints the executions per harness. Fails when a harness
# found a crash (this run's inputs are kept in BUILD/fuzz-artifacts/) or could not run.
# Usage: run_fuzz.sh BUILD SECONDS [HARNESS...]
set -eu

build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")/../.." && pwd)
harnesses=${*:-"ptn_table ptn_layout ptn_header device_info support_list firmware_image firmware_signed signature_block firmware_index upgrade_record"}

corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
logs=$build/fuzz-logs
rm -rf "$corpus" "$artifacts" "$logs"
mkdir -p "$corpus" "$artifacts" "$logs"

# Seeds: the committed ones, every JSON fixture of the tests for the JSON parsers,
# and those assembled from the fixtures by fuzz_make_seeds.
"$build/tests/fuzz/fuzz_make_seeds" "$corpus"
for h in $harnesses; do
  mkdir -p "$corpus/$h"
  if [ -d "$src/tests/fuzz/corpus/$h" ]; then
    cp "$src/tests/fuzz/corpus/$h"/* "$corpus/$h/"
  fi
  case $h in
    ptn_table|device_info|support_list)
      for f in "$src"/tests/data/*.json; do
        [ -e "$f" ] && cp "$f" "$corpus/$h/data-$(basename "$f")"
      done ;;
  esac
done

failed=""
summary=""
for h in $harnesses; do
  echo "== fuzz_$h: ${seconds}s"
  # stdout carries vorna's own messages for every input; libFuzzer reports on stderr.
  if "$build/tests/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=30 -close_fd_mask=1 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$h-" "$corpus/$h" >"$logs/$h.log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed="$failed $h"
    tail -n 40 "$logs/$h.log"
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$logs/$h.log" | tail -n 1)
  summary="$summary$(printf '%-24s %12s runs  %s' "fuzz_$h" "${runs:-?}" "$status")
"
done

echo
echo "Fuzzing, ${seconds}s per harness (logs in $logs):"
printf '%s' "$summary"
if [ -n "$failed" ]; then
  echo "crashes or failures in:$failed (inputs in $artifacts)" >&2
  exit 1
fi
