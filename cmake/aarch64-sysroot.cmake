# SPDX-License-Identifier: Apache-2.0
# A minimal sysroot-style toolchain file for 64-bit ARM, of the kind an SDK or a
# distribution's build system hands to any CMake project: the compiler, the folder
# holding the target's headers and libraries, and nothing about this project.
#   cmake -S . -B build-cross --toolchain cmake/aarch64-sysroot.cmake
# VORNA_SYSROOT defaults to "/", where Debian keeps the arm64 packages that
# `install_deps.sh cross` installs (multiarch: /usr/lib/aarch64-linux-gnu).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT DEFINED VORNA_SYSROOT)
  set(VORNA_SYSROOT "/")
endif()
set(CMAKE_SYSROOT "${VORNA_SYSROOT}")
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs run on the build machine; everything linked comes from the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
