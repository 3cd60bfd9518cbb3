# SPDX-License-Identifier: Apache-2.0
# Cross build for the product's CPU (64-bit ARM, glibc) on a Debian 12 build machine:
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DVORNA_BUILD_TESTS=ON
# The compiler is Debian's g++-aarch64-linux-gnu. Libraries (cJSON, OpenSSL for the test
# oracles) and the arm64 run-time come from Debian's arm64 packages installed side by side
# with the host's (multiarch: /usr/lib/aarch64-linux-gnu); `install_deps.sh cross` installs
# them. Test binaries run under qemu-aarch64, which the project looks for when the tests
# are built and which CMake and ctest then put in front of them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VORNA_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VORNA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VORNA_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VORNA_CROSS_TRIPLE})

# The cross compiler searches /usr/include but not its multiarch folder, where the
# arm64 packages keep their architecture-specific headers (openssl/configuration.h).
# After the system folders, so that it never shadows the C library's own headers.
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include/${VORNA_CROSS_TRIPLE}")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include/${VORNA_CROSS_TRIPLE}")

# No sysroot: headers and libraries sit in the host's own tree, and with
# CMAKE_LIBRARY_ARCHITECTURE set the searches look in the arm64 folders, never the
# host's x86_64 ones. Programs found during configuration are host programs.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must describe the arm64 libraries only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VORNA_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
