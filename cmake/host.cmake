# The host build: platform emulation, driver, simulation, tools and tests.
set(PMC7R_SANITIZE "" CACHE STRING "address (ASan+UBSan), thread (TSan), fuzzer (libFuzzer+ASan+UBSan, clang) or empty")
set(PMC7R_M32 OFF CACHE BOOL "build for 32-bit x86 (the driver's ABI)")

if(PMC7R_M32)
  add_compile_options(-m32)
  add_link_options(-m32)
  # Where the kernel cannot run 32-bit programs, tests run under qemu's user-mode emulation.
  set(probe_dir ${CMAKE_BINARY_DIR}/x86-probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.cpp "int main() { return 0; }\n")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -m32 ${probe_dir}/probe.cpp -o ${probe_dir}/probe
                  RESULT_VARIABLE probe_build OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE probe_run OUTPUT_QUIET ERROR_QUIET)
  if(NOT probe_build EQUAL 0)
    message(FATAL_ERROR "the compiler cannot build 32-bit x86 programs (install g++-multilib)")
  endif()
  if(probe_run EQUAL 0)
    set(PMC7R_X86_RUNNER "")
  else()
    find_program(QEMU_I386 qemu-i386 REQUIRED)
    set(PMC7R_X86_RUNNER ${QEMU_I386})
    message(STATUS "32-bit programs run under ${QEMU_I386}")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/run-x86.sh.in ${CMAKE_BINARY_DIR}/run-x86 @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/run-x86)
  include(cmake/layout_probe.cmake)
endif()
if(PMC7R_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(PMC7R_SANITIZE STREQUAL "fuzzer")
  include(cmake/fuzz_flags.cmake)
elseif(PMC7R_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
add_compile_options(-g)

find_package(Threads REQUIRED)

file(GLOB PMC7R_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/host/src/*.cpp)
add_library(pmc7r_platform STATIC ${PMC7R_PLATFORM_SOURCES})
target_include_directories(pmc7r_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(pmc7r_platform PRIVATE -Wall -Wextra -Wno-multichar)
target_link_libraries(pmc7r_platform PUBLIC Threads::Threads)
if(PMC7R_M32)
  add_dependencies(pmc7r_platform pmc7r_layout_probe)
  target_include_directories(pmc7r_platform PRIVATE ${PMC7R_LAYOUT_DIR})
  target_compile_definitions(pmc7r_platform PRIVATE PMC7R_DDK_CONVENTIONS=1)
endif()

# The driver, built as the kernel would see it. Unwind tables let PsTerminateSystemThread
# leave a thread's frames on the host.
add_library(pmc7r_driver STATIC ${PMC7R_DRIVER_SOURCES})
target_include_directories(pmc7r_driver PUBLIC ${CMAKE_SOURCE_DIR} PRIVATE ${CMAKE_SOURCE_DIR}/driver)
target_compile_options(pmc7r_driver PRIVATE ${PMC7R_DRIVER_FLAGS} -funwind-tables)
target_link_libraries(pmc7r_driver PUBLIC pmc7r_platform)

file(GLOB PMC7R_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
if(PMC7R_SIM_SOURCES)
  add_library(pmc7r_sim STATIC ${PMC7R_SIM_SOURCES})
  target_compile_options(pmc7r_sim PRIVATE -Wall -Wextra -Wno-multichar)
  target_link_libraries(pmc7r_sim PUBLIC pmc7r_driver pmc7r_platform)
else()
  add_library(pmc7r_sim INTERFACE)
  target_link_libraries(pmc7r_sim INTERFACE pmc7r_driver pmc7r_platform)
endif()

# The fuzz build makes its targets only, not the simulator and the test suite.
if(PMC7R_SANITIZE STREQUAL "fuzzer")
  add_subdirectory(tools/fuzz)
  return()
endif()

add_subdirectory(tools)

enable_testing()
add_subdirectory(tests)
