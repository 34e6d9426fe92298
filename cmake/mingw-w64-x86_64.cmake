# Cross-builds the Windows program (64-bit) on Debian with MinGW-w64, package
# g++-mingw-w64-x86-64-posix. The posix flavour of the compiler carries the C++ threads that
# the standard library and GoogleTest expect.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORVANT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORVANT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORVANT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORVANT_MINGW_PREFIX}-windres)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program runs alone: no MinGW runtime DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The build machine runs the Windows test programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run)
