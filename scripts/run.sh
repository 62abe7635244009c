#!/usr/bin/env bash
# The main job: builds the simulator (host-x64) and runs its demo. Extra arguments are passed
# to the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
log=build/logs/run-build.log
mkdir -p build/logs
if ! { cmake --preset host-x64 && cmake --build build/host-x64 -j2 --target pmc7r-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: building pmc7r-sim failed (log: $log)" >&2
  exit 1
fi
exec build/host-x64/tools/pmc7r-sim demo "$@"
