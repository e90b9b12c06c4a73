# MNET_SANITIZER=address builds everything with AddressSanitizer (leak checking included) and
# UndefinedBehaviorSanitizer; undefined and thread select those alone. Every report is fatal
# (-fno-sanitize-recover=all); the run-time options for the test run (halt_on_error,
# detect_leaks) are set by scripts/test.
set(MNET_SANITIZER_FLAGS -fno-omit-frame-pointer -fno-sanitize-recover=all)
# gcc's flow analysis gets lost in the instrumented code (std::regex and std::function among
# others) and reports maybe-uninitialized where nothing is; the plain build keeps the warning.
if(NOT MNET_SANITIZER STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND MNET_SANITIZER_FLAGS -Wno-maybe-uninitialized)
endif()
if(MNET_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined ${MNET_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
elseif(MNET_SANITIZER STREQUAL "undefined")
  add_compile_options(-fsanitize=undefined ${MNET_SANITIZER_FLAGS})
  add_link_options(-fsanitize=undefined)
elseif(MNET_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread ${MNET_SANITIZER_FLAGS})
  add_link_options(-fsanitize=thread)
elseif(NOT MNET_SANITIZER STREQUAL "")
  message(FATAL_ERROR "MNET_SANITIZER must be address, undefined, thread or empty")
endif()

# clang links a sanitizer's run-time into programs only, never into shared libraries, so the
# two libraries must be allowed to leave its symbols for the program to supply (they are linked
# with --no-undefined otherwise). gcc links the run-time into the libraries and needs nothing.
# mnet_sanitizer_runtime_from_program(<target>...)
function(mnet_sanitizer_runtime_from_program)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (NOT MNET_SANITIZER STREQUAL "" OR MNET_BUILD_FUZZERS))
    foreach(target ${ARGN})
      target_link_options(${target} PRIVATE -Wl,-z,undefs)
    endforeach()
  endif()
endfunction()
