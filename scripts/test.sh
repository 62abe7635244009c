#!/usr/bin/env bash
# Builds and tests every configuration: the Windows driver image (windows-x86), the 32-bit
# suite under AddressSanitizer (host-x86-asan, which also runs every scenario on the image),
# the fault-report tests in the unsanitized 32-bit build (host-x86) and the 64-bit suite
# under ThreadSanitizer (host-x64-tsan). The suites check the freshly built pmc7r.sys.
# Last, every fuzz target runs for 15 s (host-x64-fuzz, scripts/fuzz.sh): one test each.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh || exit 1

jobs=2
logs=$root/build/logs
mkdir -p "$logs"
export PMC7R_SYS_PATH=$root/build/windows-x86/pmc7r.sys
export PMC7R_REQUIRE_SYS=1
passed=0
failed=0
summary=()

# Records a configuration's outcome: a failed configure or build counts as one failed test.
report() {
  summary+=("$(printf '%-14s %s' "$1:" "$2")")
}

build() {
  local preset=$1
  shift
  cmake --preset "$preset" && cmake --build "build/$preset" -j"$jobs" "$@"
}

windows() {
  local start=$SECONDS
  rm -f "$PMC7R_SYS_PATH"
  if build windows-x86 && [[ -f "$PMC7R_SYS_PATH" ]]; then
    report windows-x86 "ok, pmc7r.sys built ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    report windows-x86 "FAILED to build pmc7r.sys ($((SECONDS - start)) s)"
  fi
}

suite() {
  local preset=$1 start=$SECONDS log=$logs/$1.ctest.log
  shift
  if ! build "$preset"; then
    failed=$((failed + 1))
    report "$preset" "FAILED to build ($((SECONDS - start)) s)"
    return
  fi
  ctest --preset "$preset" --no-tests=error "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]} line
  line=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ -z "$line" ]]; then
    failed=$((failed + 1))
    report "$preset" "FAILED: ctest gave no result (exit $rc, $((SECONDS - start)) s)"
    return
  fi
  local bad total skipped
  read -r bad _ _ _ _ total <<<"$line"
  skipped=$(grep -c '(Skipped)$' "$log")
  # A run that fails without naming a failed test still fails.
  if (( rc != 0 && bad == 0 )); then bad=1; fi
  passed=$((passed + total - bad - skipped))
  failed=$((failed + bad))
  local verdict=ok note=""
  (( bad == 0 )) || verdict=FAILED
  (( skipped == 0 )) || note=", $skipped skipped"
  report "$preset" "$verdict, $((total - bad - skipped)) of $total tests passed$note ($((SECONDS - start)) s)"
}

# Each fuzz target counts as one test; a failed build fails them all.
fuzz() {
  local start=$SECONDS log=$logs/fuzz.log
  scripts/fuzz.sh 15 2>&1 | tee "$log"
  local line bad good
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
  if [[ -z "$line" ]]; then
    failed=$((failed + 1))
    report host-x64-fuzz "FAILED: scripts/fuzz.sh gave no result ($((SECONDS - start)) s)"
    return
  fi
  read -r good _ bad _ <<<"$line"
  passed=$((passed + good))
  failed=$((failed + bad))
  local verdict=ok
  (( bad == 0 )) || verdict=FAILED
  report host-x64-fuzz "$verdict, $good of $((good + bad)) fuzz targets clean for 15 s each ($((SECONDS - start)) s)"
}

windows
suite host-x86-asan
# The fault reports of the native image loader and the special pool run in a signal
# handler, which AddressSanitizer does not allow for: the unsanitized 32-bit build runs them.
suite host-x86 -R 'DeathTest|ImageLoader|SpecialPool'
suite host-x64-tsan
fuzz

echo
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
(( failed == 0 ))
