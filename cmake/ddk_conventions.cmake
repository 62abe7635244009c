# Turns the DDK probe's "#PROBE convention NAME = N" lines into a header of
# PMC7R_DDK_CONVENTION_NAME constants (0 cdecl, 1 stdcall, 2 fastcall).
file(STRINGS ${IN} lines REGEX "#PROBE convention ")
set(text "// Generated from the DDK by cmake/ddk_conventions.cmake.\n#pragma once\n")
foreach(line ${lines})
  string(REGEX REPLACE ".*#PROBE convention ([A-Za-z0-9_]+) = ([0-9]+).*" "\\1;\\2" pair "${line}")
  list(GET pair 0 name)
  list(GET pair 1 value)
  string(APPEND text "#define PMC7R_DDK_CONVENTION_${name} ${value}\n")
endforeach()
file(WRITE ${OUT}.tmp "${text}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
