# The fuzz build: everything compiled with libFuzzer's coverage hooks, AddressSanitizer and
# UBSan; only the fuzz targets link libFuzzer itself (tools/fuzz). Any UBSan finding aborts,
# so the fuzzer counts it as a crash.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "PMC7R_SANITIZE=fuzzer needs clang (the host-x64-fuzz preset uses clang++-14)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
