# The layout probe (tools/layout_probe) compiled to assembly twice: by the Windows
# cross-compiler against the DDK and by this build's compiler against the host headers. The
# layout test compares the two; the DDK's conventions of the kernel's routines become a header
# that the host's table of exports checks at compile time. 32-bit builds only: the 64-bit
# host has other sizes and one calling convention.
find_program(PMC7R_MINGW_CXX NAMES i686-w64-mingw32-g++ REQUIRED)
set(PMC7R_LAYOUT_DIR ${CMAKE_BINARY_DIR}/layout)
file(MAKE_DIRECTORY ${PMC7R_LAYOUT_DIR})
set(probe_source ${CMAKE_SOURCE_DIR}/tools/layout_probe/layout_probe.cpp)
file(GLOB probe_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.h
     ${CMAKE_SOURCE_DIR}/platform/host/*.h ${CMAKE_SOURCE_DIR}/platform/windows/*.h)
set(probe_depends ${probe_source} ${CMAKE_SOURCE_DIR}/tools/layout_probe/probes.inc ${probe_headers})
add_custom_command(OUTPUT ${PMC7R_LAYOUT_DIR}/ddk.s
  COMMAND ${PMC7R_MINGW_CXX} -std=c++20 -S -DPMC7R_WINDOWS -I${CMAKE_SOURCE_DIR} ${probe_source}
          -o ${PMC7R_LAYOUT_DIR}/ddk.s
  DEPENDS ${probe_depends}
  COMMENT "Probing the DDK's layouts with mingw-w64")
add_custom_command(OUTPUT ${PMC7R_LAYOUT_DIR}/host.s
  COMMAND ${CMAKE_CXX_COMPILER} -m32 -std=c++20 -S -I${CMAKE_SOURCE_DIR} ${probe_source}
          -o ${PMC7R_LAYOUT_DIR}/host.s
  DEPENDS ${probe_depends}
  COMMENT "Probing the host's layouts")
add_custom_command(OUTPUT ${PMC7R_LAYOUT_DIR}/ddk_conventions.h
  COMMAND ${CMAKE_COMMAND} -DIN=${PMC7R_LAYOUT_DIR}/ddk.s -DOUT=${PMC7R_LAYOUT_DIR}/ddk_conventions.h
          -P ${CMAKE_SOURCE_DIR}/cmake/ddk_conventions.cmake
  DEPENDS ${PMC7R_LAYOUT_DIR}/ddk.s ${CMAKE_SOURCE_DIR}/cmake/ddk_conventions.cmake)
add_custom_target(pmc7r_layout_probe ALL DEPENDS ${PMC7R_LAYOUT_DIR}/ddk.s ${PMC7R_LAYOUT_DIR}/host.s
                  ${PMC7R_LAYOUT_DIR}/ddk_conventions.h)
