# CMake toolchain file for building 64-bit Windows hosts of korvel.dll on
# Linux with MinGW-w64. From the folder of the unpacked release archive:
#
#   cmake -S <host sources> -B <build folder>
#         -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-x86_64.cmake
#         -DCMAKE_PREFIX_PATH=$PWD
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# korvel's CMake package lies in the archive, outside the compiler's root:
# BOTH lets find_package take it from CMAKE_PREFIX_PATH. With ONLY, which
# most toolchain files set, find_package looks under the root alone and
# finds korvel only when given -Dkorvel_DIR=<archive>/lib/cmake/korvel.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
