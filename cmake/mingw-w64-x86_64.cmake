# Cross-compile the Windows DLL with MinGW-w64 (posix threads flavour) and run
# the resulting executables under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages installed under any prefix (CMAKE_PREFIX_PATH) are found too.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(KESTRAV_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KESTRAV_WINE)
  find_program(KESTRAV_WINE NAMES wine64 wine)
endif()
if(KESTRAV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRAV_WINE})
endif()
