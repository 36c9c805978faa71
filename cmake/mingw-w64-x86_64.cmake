# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages of Windows libraries lie outside the compiler's root as well: a
# host finds korvel's release archive through CMAKE_PREFIX_PATH.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
