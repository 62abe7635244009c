#!/usr/bin/env bash
# Instructions per MIDI byte on the driver's data paths, counted by Valgrind's callgrind in
# pmc7r-cost (host-x64 build), against a plain copy of the same bytes into a ring of the input
# ring's size. Each path is counted twice, with N packets and with none, inside the routines
# where the path starts (BulkReadComplete; EnqueueOutput and BulkWrite), so that the units'
# bring-up drops out of the difference. "all" is everything those routines ran, the host
# platform's emulation and the simulated bus included; "driver" is the part on lines of
# driver/ sources, with the memory copies and fills those lines call. Then the pool and request counters of a run without Valgrind.
# Usage: scripts/cost.sh [N]   (default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
packets=${1:-1000}
cmake --preset host-x64 >/dev/null
cmake --build build/host-x64 -j2 --target pmc7r-cost >/dev/null
out=build/cost
mkdir -p "$out"
cost=build/host-x64/tools/pmc7r-cost

# Prints "all driver" instruction counts of one phase with n packets.
count() {
  local phase=$1 n=$2 file=$out/callgrind.$1.$2
  shift 2
  local toggles=()
  for routine in "$@"; do toggles+=("--toggle-collect=$routine"); done
  valgrind --tool=callgrind --callgrind-out-file="$file" --collect-atstart=no "${toggles[@]}" \
    "$cost" --packets "$n" --phase "$phase" >/dev/null 2>&1
  # The driver's part: its own lines, and the memory copies and fills its lines call.
  callgrind_annotate --auto=no --inclusive=no --tree=caller --threshold=100 "$file" 2>/dev/null | awk '
    function count(line,   v) { sub(/^ */, "", line); split(line, f, " "); v = f[1]; gsub(",", "", v); return v + 0 }
    /PROGRAM TOTALS/ { all = count($0); next }
    /^$/ { n = 0; next }
    /%\)  <  / { callers[n++] = $0; next }
    /%\)  \*  / {
      if ($0 ~ /\*  ([^ ]*\/)?driver\/[^ :]*:/) driver += count($0)
      else if ($0 ~ /:__(memcpy|memmove|memset)/)
        for (i = 0; i < n; i++) if (callers[i] ~ /<  ([^ ]*\/)?driver\/[^ :]*:/) driver += count(callers[i])
      n = 0
    }
    END { printf "%d %d\n", all, driver }'
}

# Instructions per byte of a phase: the difference between n packets and none.
per_byte() {
  local phase=$1 size=$2
  shift 2
  local a0 d0 a1 d1
  read -r a0 d0 < <(count "$phase" 0 "$@")
  read -r a1 d1 < <(count "$phase" "$packets" "$@")
  awk -v a="$((a1 - a0))" -v d="$((d1 - d0))" -v b="$((packets * size))" 'BEGIN { printf "%.1f %.1f\n", a / b, d / b }'
}

printf '%-10s %12s %12s %12s %10s\n' path "all/byte" "driver/byte" "copy/byte" "driver/copy"
for size in 64 3; do
  read -r copy _ < <(per_byte "copy$size" "$size" '*PlainRingCopy*')
  read -r in_all in_driver < <(per_byte "input$size" "$size" 'BulkReadComplete*')
  read -r out_all out_driver < <(per_byte "output$size" "$size" 'EnqueueOutput*' 'BulkWrite*')
  for row in "input$size $in_all $in_driver" "output$size $out_all $out_driver"; do
    read -r name all driver <<<"$row"
    printf '%-10s %12s %12s %12s %10s\n' "$name" "$all" "$driver" "$copy" \
      "$(awk -v d="$driver" -v c="$copy" 'BEGIN { printf "%.1fx", d / c }')"
  done
done
echo
"$cost" --packets "$packets" --check
