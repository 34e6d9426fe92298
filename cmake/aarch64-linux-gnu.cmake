# Cross-builds the arm64 (aarch64) Linux program on Debian with the package g++-aarch64-linux-gnu;
# the build machine runs the arm64 test programs under qemu-user (package qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZORVANT_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZORVANT_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZORVANT_CROSS_PREFIX}-g++)
set(CMAKE_STRIP ${ZORVANT_CROSS_PREFIX}-strip)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANT_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs are linked against the target's shared libraries, which qemu finds here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ZORVANT_CROSS_PREFIX})
