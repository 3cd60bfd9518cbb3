#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian 12 packages that a make target needs, when they are missing.
# Usage: install_deps.sh SET...   (sets: build, cross, fuzz, clang, man, bench, engines, signing, deb, kernel)
# As root it runs apt-get; otherwise it prints the line to run and fails.
set -eu

pkgs=""
for set in "$@"; do
  case "$set" in
    build) pkgs="$pkgs cmake make g++ pkg-config libcjson-dev libssl-dev openssl googletest libgtest-dev" ;;
    # The signing tests: info --json against its schema; a SoftHSM 2 token driven
    # through the pkcs11 engine and pkcs11-tool.
    signing) pkgs="$pkgs python3-jsonschema softhsm2 libengine-pkcs11-openssl opensc" ;;
    # The compiler links against its own libc6-dev-arm64-cross (only recommended, so
    # named); the emulated programs load Debian's arm64 packages (multiarch), so they
    # get one consistent C and C++ run-time. libssl-dev:arm64 is the tests' oracle.
    cross) pkgs="$pkgs g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user libc6:arm64 libstdc++6:arm64 libcjson-dev:arm64 libssl-dev:arm64" ;;
    fuzz)  pkgs="$pkgs clang libclang-rt-14-dev" ;;
    clang) pkgs="$pkgs clang" ;;
    # The manual pages' checker, and man to show them as a reader sees them.
    man)   pkgs="$pkgs mandoc man-db" ;;
    bench) pkgs="$pkgs time" ;;
    # The fleet engines' device clients that the engine tests drive; zstd for a
    # compressed transport through the pipe into vorna.
    engines) pkgs="$pkgs mender-client mender-artifact swupdate cpio zstd" ;;
    # The Debian package build (make deb) and its checker (.ci/debian_package);
    # dpkg-buildpackage wants build-essential beside the Build-Depends.
    deb)   pkgs="$pkgs debhelper dpkg-dev build-essential lintian" ;;
    # The kernel rig: qemu, the module tools for Debian's kernel, the initramfs archiver.
    kernel) pkgs="$pkgs qemu-system-x86 kmod cpio" ;;
    *) echo "install_deps.sh: unknown set '$set'" >&2; exit 2 ;;
  esac
done

missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

needs_arm64=false
case "$missing" in *:arm64*) needs_arm64=true ;; esac

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run as root:" >&2
  if $needs_arm64; then
    echo "  dpkg --add-architecture arm64 && apt-get update && apt-get install -y$missing" >&2
  else
    echo "  apt-get update && apt-get install -y$missing" >&2
  fi
  exit 1
fi

if $needs_arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# A library of the other architecture must never make apt remove what is installed.
apt-get install -y -qq --no-remove $missing
