# Cross-compile for Linux arm64 with Debian's aarch64-linux-gnu toolchain and
# run the tests under qemu-user, with the target's libraries from its sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(KESTRAV_QEMU qemu-aarch64)
if(KESTRAV_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRAV_QEMU} -L /usr/aarch64-linux-gnu)
endif()
