# CMake toolchain for 64-bit Arm Linux with Debian's cross GCC
# (g++-aarch64-linux-gnu); the target's programs run under qemu-user
# (qemu-aarch64), which finds the target's C and C++ runtimes in the cross
# toolchain's sysroot.  scripts/aarch64.sh builds with it.
#
# Target prefixes besides the sysroot (a cross-built Kokkos, GoogleTest) are
# added with -DCMAKE_FIND_ROOT_PATH=<prefix>;<prefix>: packages, libraries and
# headers are looked up under those roots only, never among the build
# machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RADIREDIDE_AARCH64_SYSROOT /usr/aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

list(APPEND CMAKE_FIND_ROOT_PATH ${RADIREDIDE_AARCH64_SYSROOT})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (CTest, GoogleTest's test discovery) run through the emulator.
find_program(RADIREDIDE_QEMU_AARCH64 qemu-aarch64)
if(RADIREDIDE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RADIREDIDE_QEMU_AARCH64} -L ${RADIREDIDE_AARCH64_SYSROOT})
endif()
