#!/bin/sh
# Runs pmc7r-sim against the cross-built driver image: "run-sys.sh SYS SOURCE_DIR COMMAND...",
# the command given "--sys SYS" at its end. Without
# the image the test is skipped (exit 77), unless PMC7R_REQUIRE_SYS=1 (CI), where a missing
# image, or one older than a driver source, fails.
sys=$1 src=$2
shift 2
if [ ! -f "$sys" ]; then
  if [ "$PMC7R_REQUIRE_SYS" = 1 ]; then echo "$sys is missing" >&2; exit 1; fi
  echo "$sys is not built: skipped" >&2
  exit 77
fi
newer=$(find "$src/driver" "$src/platform/windows" -newer "$sys" -type f | head -1)
if [ -n "$newer" ]; then
  echo "$sys is older than $newer: rebuild it (cmake --build build/windows-x86)" >&2
  [ "$PMC7R_REQUIRE_SYS" = 1 ] && exit 1
  exit 77
fi
exec "$@" --sys "$sys"
