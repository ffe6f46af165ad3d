# Cross build for the box's SoC: little-endian MIPS32, Linux, glibc, with
# Debian's cross compilers (gcc-mipsel-linux-gnu, g++-mipsel-linux-gnu,
# libc6-dev-mipsel-cross).
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#   cmake --build build-mipsel
#
# builds the programs that run on the box (micomflash_a, micomflash_b); see
# programmer/README.md for linking against the box's own vendor libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
