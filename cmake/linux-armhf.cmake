# Cross-compile for Linux armhf with Debian's arm-linux-gnueabihf toolchain and
# run the tests under qemu-user, with the target's libraries from its sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(KESTRAV_QEMU qemu-arm)
if(KESTRAV_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRAV_QEMU} -L /usr/arm-linux-gnueabihf)
endif()
