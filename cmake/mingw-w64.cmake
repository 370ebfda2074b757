# Cross-compiles for Windows with mingw-w64 (posix threading model, for std::thread) and runs the
# test programs under Wine, in a prefix private to the build tree. 64-bit Windows unless a
# toolchain file that includes this one chose the processor first (mingw-w64-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT CMAKE_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

set(KELVO_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(KELVO_MINGW_TRIPLE x86_64-w64-mingw32)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KELVO_MINGW_TRIPLE i686-w64-mingw32)
  # A 32-bit prefix, as a 32-bit tablet is: no 64-bit half.
  list(APPEND KELVO_WINE_RUN --arch win32)
else()
  message(FATAL_ERROR "mingw-w64.cmake: no toolchain for processor '${CMAKE_SYSTEM_PROCESSOR}'")
endif()
set(CMAKE_C_COMPILER ${KELVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and CTest both run through this; the wrapper creates the prefix on first use, so
# a fresh build tree needs no separate step.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO_WINE_RUN} ${CMAKE_BINARY_DIR}/wineprefix)
