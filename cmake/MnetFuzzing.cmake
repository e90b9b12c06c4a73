# MNET_BUILD_FUZZERS=ON: a clang build (CMAKE_CXX_COMPILER=clang++) in which both libraries
# carry libFuzzer's coverage instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer,
# and fuzz/ adds one libFuzzer program per fuzz/<name>_fuzzer.cpp. Use a build directory of its
# own (scripts/fuzz uses build-fuzz/).
if(MNET_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "MNET_BUILD_FUZZERS needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(NOT MNET_SANITIZER STREQUAL "")
    message(FATAL_ERROR "MNET_BUILD_FUZZERS brings its own sanitizers: leave MNET_SANITIZER empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
