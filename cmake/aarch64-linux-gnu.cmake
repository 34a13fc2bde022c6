# Cross-builds for the appliance (AArch64 Linux) on a Debian x86-64 host with
# Debian's cross compiler and the arm64 packages of its libraries:
#
#   dpkg --add-architecture arm64
#   apt-get install g++-aarch64-linux-gnu libssl-dev:arm64 libgtest-dev:arm64 \
#                   libstdc++6:arm64 qemu-user
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# The arm64 libraries live beside the host's in the multiarch directories
# (/usr/lib/aarch64-linux-gnu, /usr/include/aarch64-linux-gnu), not in a
# separate sysroot, so the host's own architecture directory is fenced off
# below rather than the search being rooted elsewhere.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VESK_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VESK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VESK_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VESK_CROSS_TRIPLE})

# Never pick up an x86-64 library or package configuration by accident.
set(CMAKE_IGNORE_PATH
  /usr/lib/x86_64-linux-gnu
  /lib/x86_64-linux-gnu
  /usr/lib/x86_64-linux-gnu/cmake
  /usr/include/x86_64-linux-gnu)

# FindOpenSSL asks pkg-config first and uses its answer as a hint; without
# this it would hint at the host's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VESK_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Programs for the build machine (none today) come from the host; libraries,
# headers and packages only from the target's directories.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# ctest and gtest_discover_tests run the AArch64 test programs through
# qemu's user-mode emulator. The programs load their libraries through the
# arm64 multiarch loader and directories (libc6:arm64, libstdc++6:arm64,
# libssl3:arm64), so the emulator needs no library prefix. (A prefix given
# with -L or QEMU_LD_PREFIX also makes qemu 7.2 hang in every fork() of the
# guest, which the tests do often.)
find_program(VESK_QEMU_AARCH64 qemu-aarch64 NO_CMAKE_FIND_ROOT_PATH)
if(VESK_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VESK_QEMU_AARCH64})
endif()
