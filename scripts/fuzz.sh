#!/usr/bin/env bash
# Builds the fuzz preset (host-x64-fuzz: clang, libFuzzer, AddressSanitizer, UBSan) and runs
# every fuzz target, or the ones named, one after the other for SECONDS each (default 15).
# Each target starts from its seed corpus (tools/fuzz/corpus/<target>/) and the corpus that
# earlier runs grew (build/host-x64-fuzz/corpus/<target>/, where new inputs go). A crash, a
# sanitizer or verifier report, a leak at a session's end or an input that hangs fails the
# target; its input is kept in build/host-x64-fuzz/findings/<target>/ and the log in
# build/logs/fuzz-<target>.log. Prints one line per target and "N passed, M failed".
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh || exit 1

seconds=${1:-15}
shift || true
targets=("$@")
(( ${#targets[@]} )) || targets=(descriptors in_stream file_handle client_requests scenario_parser)
build=$root/build/host-x64-fuzz
logs=$root/build/logs
mkdir -p "$logs"

start=$SECONDS
if ! { cmake --preset host-x64-fuzz >"$logs/fuzz-build.log" 2>&1 &&
       cmake --build "$build" -j2 >>"$logs/fuzz-build.log" 2>&1; }; then
  tail -30 "$logs/fuzz-build.log"
  echo "fuzz: the build FAILED ($((SECONDS - start)) s, build/logs/fuzz-build.log)"
  echo "0 passed, ${#targets[@]} failed"
  exit 1
fi
echo "fuzz: built in $((SECONDS - start)) s"

passed=0 failed=0 total=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target findings=$build/findings/$target log=$logs/fuzz-$target.log
  mkdir -p "$corpus" "$findings"
  # One input may run a few seconds of virtual time; 60 s of wall time means it hangs.
  "$build/tools/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$root/tools/fuzz/corpus/$target" \
    >"$log" 2>&1
  rc=$?
  runs=$(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
  rate=$(grep -Eo 'stat::average_exec_per_sec: +[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
  total=$((total + runs))
  if (( rc == 0 )); then
    passed=$((passed + 1))
    printf 'fuzz %-16s ok, %s executions (%s/s), corpus %s\n' "$target:" "$runs" "$rate" "$(ls "$corpus" | wc -l)"
  else
    failed=$((failed + 1))
    printf 'fuzz %-16s FAILED (exit %s) after %s executions; input in %s, log %s\n' "$target:" "$rc" "$runs" \
      "${findings#$root/}" "${log#$root/}"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|\*\*\* VERIFIER|fuzz: the run left)' "$log" | head -5
  fi
done
echo "fuzz: $total executions over ${#targets[@]} targets in $((SECONDS - start)) s"
echo "$passed passed, $failed failed"
(( failed == 0 ))
