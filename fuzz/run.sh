#!/usr/bin/env bash
# Runs every fuzz target of a build folder in turn, each from its seed corpus
# (fuzz/corpus/<target>, read only) plus a working corpus in the build folder
# that keeps what earlier runs found, with fuzz/dict/<target>.dict when there
# is one. A crash, a failed check, a leak or an input running longer than
# 10 s stops the run with the target's exit code; the reproducer is left in
# <build>/fuzz-artifacts/.
#   fuzz/run.sh BUILD SECONDS [RUNS]
# SECONDS bounds each target's time, RUNS (optional) its executions.
set -u
build=$1
seconds=$2
runs=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
targets="frame_reception check_response requests event_fetch listener_frames channel_config address_text
  port_map capture_decode kivsim_control check_config telnet_codec net_line"
mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts" "$build/fuzz-logs"
summary="$build/fuzz-logs/summary.txt"
: > "$summary"
status=0
for target in $targets; do
  # A tool left out of the build (KIV_TOOLS_SKIP) leaves its target out.
  if [ ! -x "$build/fuzz_$target" ]; then
    echo "$target not built, skipped" | tee -a "$summary"
    continue
  fi
  corpus="$build/fuzz-corpus/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds")
  [ -n "$runs" ] && options+=(-runs="$runs")
  [ -f "$here/dict/$target.dict" ] && options+=(-dict="$here/dict/$target.dict")
  "$build/fuzz_$target" "${options[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$target-" "$corpus" "$here/corpus/$target" > "$log" 2>&1
  code=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  units=$(find "$corpus" -type f | wc -l)
  line=$(printf '%-16s executions %10s  seconds %5s  coverage %5s  corpus %5s  exit %s' \
    "$target" "${executions:-?}" "${elapsed:-?}" "${coverage:-?}" "$units" "$code")
  echo "$line" | tee -a "$summary"
  if [ "$code" -ne 0 ]; then
    echo "fuzz_$target failed; its log ends:"
    tail -40 "$log"
    status=$code
    break
  fi
done
exit $status
