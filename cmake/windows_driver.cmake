# The Windows build: every driver source linked into pmc7r.sys, a native kernel-mode image
# that imports only from the kernel, the HAL and the USB driver library.
if(NOT PMC7R_DRIVER_SOURCES)
  message(FATAL_ERROR "no driver sources under ${CMAKE_SOURCE_DIR}/driver")
endif()

# A driver links against nothing of the user-mode runtime.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_executable(pmc7r ${PMC7R_DRIVER_SOURCES})
set_target_properties(pmc7r PROPERTIES SUFFIX ".sys")
target_include_directories(pmc7r PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/driver)
target_compile_definitions(pmc7r PRIVATE PMC7R_WINDOWS)
target_compile_options(pmc7r PRIVATE ${PMC7R_DRIVER_FLAGS} -ffreestanding
  -fno-asynchronous-unwind-tables -fno-stack-protector -O2 -fcallgraph-info=su)
# Only DriverEntry is exported; without a list the linker would export every function.
set(PMC7R_DEF_FILE ${CMAKE_BINARY_DIR}/pmc7r.def)
file(WRITE ${PMC7R_DEF_FILE} "LIBRARY pmc7r.sys\nEXPORTS\n  DriverEntry@8\n")
target_link_options(pmc7r PRIVATE -nostdlib -shared
  -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--nxcompat -Wl,--dynamicbase ${PMC7R_DEF_FILE})
# libgcc last: it supplies the compiler's helpers (64-bit division, stack probes) and
# nothing else is taken from it.
target_link_libraries(pmc7r PRIVATE ntoskrnl hal usbd gcc)
set_property(TARGET pmc7r APPEND PROPERTY LINK_DEPENDS ${PMC7R_DEF_FILE})

# The loader checks a driver's image checksum, so it is written after every link by a small
# tool built with the host's compiler.
find_program(PMC7R_HOST_CXX NAMES c++ g++ REQUIRED)
set(PMC7R_PE_CHECKSUM ${CMAKE_BINARY_DIR}/host/pe_checksum)
set(PMC7R_PE_CHECKSUM_SOURCE ${CMAKE_SOURCE_DIR}/tools/pe_checksum/pe_checksum.cpp)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host)
add_custom_command(OUTPUT ${PMC7R_PE_CHECKSUM}
  COMMAND ${PMC7R_HOST_CXX} -std=c++20 -O2 -Wall -Wextra ${PMC7R_PE_CHECKSUM_SOURCE}
          -o ${PMC7R_PE_CHECKSUM}
  DEPENDS ${PMC7R_PE_CHECKSUM_SOURCE}
  COMMENT "Building the host tool pe_checksum")
add_custom_target(pe_checksum_tool DEPENDS ${PMC7R_PE_CHECKSUM})
add_dependencies(pmc7r pe_checksum_tool)
add_custom_command(TARGET pmc7r POST_BUILD
  COMMAND ${PMC7R_PE_CHECKSUM} $<TARGET_FILE:pmc7r>
  COMMENT "Writing the image checksum of pmc7r.sys")

# The stack: Windows gives a thread 12 KB of kernel stack, shared with the drivers below this
# one and the kernel. From each object's call graph with frame sizes (-fcallgraph-info=su)
# the build computes the deepest chain of the driver's own frames and fails above
# PMC7R_STACK_BOUND bytes, or on a dynamic frame or recursion; the chain is printed.
set(PMC7R_STACK_BOUND 3072 CACHE STRING "the most stack, in bytes, a chain of the driver's own frames may use")
set(PMC7R_STACK_DEPTH ${CMAKE_BINARY_DIR}/host/stack_depth)
set(PMC7R_STACK_DEPTH_SOURCE ${CMAKE_SOURCE_DIR}/tools/stack_depth/stack_depth.cpp)
add_custom_command(OUTPUT ${PMC7R_STACK_DEPTH}
  COMMAND ${PMC7R_HOST_CXX} -std=c++20 -O2 -Wall -Wextra ${PMC7R_STACK_DEPTH_SOURCE} -o ${PMC7R_STACK_DEPTH}
  DEPENDS ${PMC7R_STACK_DEPTH_SOURCE}
  COMMENT "Building the host tool stack_depth")
add_custom_target(stack_depth_tool DEPENDS ${PMC7R_STACK_DEPTH})
add_dependencies(pmc7r stack_depth_tool)
add_custom_command(TARGET pmc7r POST_BUILD
  COMMAND ${PMC7R_STACK_DEPTH} ${PMC7R_STACK_BOUND} ${CMAKE_BINARY_DIR}/CMakeFiles/pmc7r.dir
  COMMENT "Checking the driver's deepest stack")
