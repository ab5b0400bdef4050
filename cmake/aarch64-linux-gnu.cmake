# Cross-building for ARM64 Linux on another machine with Debian's g++-aarch64-linux-gnu; its programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_OBJDUMP aarch64-linux-gnu-objdump CACHE FILEPATH "" FORCE)
# ctest and GoogleTest's test discovery run the test program through the emulator, with the
# cross toolchain's own C and C++ libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages too from the host: nanobind is sources and CMake files only. (GoogleTest, built for
# the host, is not looked for: tests/native builds it from its sources.)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
