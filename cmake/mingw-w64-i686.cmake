# Cross-compiles for 32-bit Windows (x86) with mingw-w64; the tests run in a 32-bit Wine prefix.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Not every machine that builds the 32-bit programs can run them (a kernel without 32-bit
# support, no 32-bit Wine): the test programs list their tests when CTest starts, not when they
# are built, so that the build itself never runs them.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
