# Turns MNET_BUILD_TESTS (ON, OFF or AUTO) into yes or no. ON insists on GoogleTest; AUTO builds
# the tests when GoogleTest is installed (or MNET_GTEST_FROM_SOURCE names its source) and says
# so when it is not; OFF leaves them out.
if(MNET_BUILD_TESTS STREQUAL "AUTO")
  if(MNET_GTEST_FROM_SOURCE)
    set(MNET_BUILD_TESTS ON)
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND)
      set(MNET_BUILD_TESTS ON)
    else()
      message(STATUS "GoogleTest not found: the tests are not built (MNET_BUILD_TESTS=ON insists)")
      set(MNET_BUILD_TESTS OFF)
    endif()
  endif()
endif()
