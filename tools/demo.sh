#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Makes the demo board under BUILD/demo and shows what vorna sees on it.
# Usage: sh tools/demo.sh BUILD   (BUILD: the CMake build folder)
set -eu

build=${1:?usage: demo.sh BUILD}
here=$(cd "$(dirname "$0")" && pwd)
board="$build/demo"

run() {
    echo "\$ $*"
    "$@"
}

# The demo signs with the development key: a build folder configured with another
# key (a product's) refuses every image it makes.
dev_fingerprint=$(tr -d ' \t\r\n' <"$here/../keys/dev_public_key.txt" | sha256sum | cut -c1-16)
if ! "$build/vorna/vorna" -V | grep -qx "legacy key: $dev_fingerprint"; then
    echo "demo: $build/vorna/vorna does not trust the development key the demo signs with;" >&2
    echo "  $build was configured with another (VORNA_PUBLIC_KEY_FILE in $build/CMakeCache.txt)." >&2
    echo "  Run the demo in a folder of its own: make demo BUILD=build-demo" >&2
    exit 1
fi
run "$build/vorna/vorna" -V
echo
run "$build/tools/vorna-image" board "$here/demo/board.json" "$board"
echo
run "$build/vorna/vorna" -s -b 0x10000 -d "$board/table.img"

# A file into a raw partition and into a header partition, and both back again.
printf 'boot_delay=3\nconsole=ttyS0,115200\n' >"$board/boot-env.txt"
printf '{"hostname":"vorna-demo","ntp":"pool.example"}\n' >"$board/config.json"
echo
run "$build/vorna/vorna" -w -b 0x10000 -d "$board/table.img" -n boot-env -i "$board/boot-env.txt"
run "$build/vorna/vorna" -w -b 0x10000 -d "$board/table.img" -n config -i "$board/config.json"
run "$build/vorna/vorna" -r -b 0x10000 -d "$board/table.img" -n boot-env -o "$board/boot-env.out"
run "$build/vorna/vorna" -r -b 0x10000 -d "$board/table.img" -n config -o "$board/config.out"
echo
# The raw copy has the whole partition; the header copy has exactly the content.
head -c "$(wc -c <"$board/boot-env.txt")" "$board/boot-env.out" | cmp - "$board/boot-env.txt"
echo "boot-env.out: $(wc -c <"$board/boot-env.out") bytes, starting with boot-env.txt"
cmp "$board/config.out" "$board/config.json"
echo "config.out: $(wc -c <"$board/config.out") bytes, identical to config.json"
# The header of "config": first and last words as the board had them, the new length.
echo "config header: $(od -A n -t x1 -N 16 -j $((0x2900000)) "$board/emmc.img")"
echo
run "$build/vorna/vorna" -r -b 0x10000 -d "$board/table.img" -n device-info -o "$board/device-info.out"
cat "$board/device-info.out"

# A firmware image: packed and signed with the development key, then checked,
# installed and its firmware-info exported.
keys=$(cd "$here/.." && pwd)/keys
cp "$here/demo/firmware.json" "$here/demo/firmware-other.json" "$board/"
head -c 300000 /dev/urandom >"$board/bootloader.bin"
head -c 200000 /dev/urandom >"$board/radio.bin"
head -c 2000000 /dev/urandom >"$board/kernel.bin"
head -c 6000000 /dev/urandom >"$board/rootfs.bin"
echo
run "$build/tools/vorna-image" pack "$board/firmware.json" "$keys/dev_private_key.pem" "$board/firmware.bin"
echo
run "$build/tools/vorna-image" info "$board/firmware.bin" "$keys/dev_public_key.txt"
echo
run "$build/vorna/vorna" -c -b 0x10000 -d "$board/table.img" -f "$board/firmware.bin"
echo
run "$build/vorna/vorna" -u -b 0x10000 -d "$board/table.img" -f "$board/firmware.bin"
cmp -n 300000 "$board/bootloader.bin" "$board/nor.img"
cmp -n 6000000 "$board/rootfs.bin" "$board/emmc.img" $((0x0)) $((0x900000))
echo "bootloader and rootfs are on the board, byte for byte"
echo
run "$build/vorna/vorna" -v -f "$board/firmware.bin" -o "$board/firmware-info.json"
cat "$board/firmware-info.json"
echo

# The same image again: every NOR block already matches, so none is rewritten.
nor_before=$(stat -c %y "$board/nor.img")
echo
run "$build/vorna/vorna" -u -b 0x10000 -d "$board/table.img" -f "$board/firmware.bin"
nor_after=$(stat -c %y "$board/nor.img")
[ "$nor_before" = "$nor_after" ]
echo "nor.img was not written to: modified $nor_after, as before"

# An image for another product is refused with status 251.
echo
echo "An image for another product: the refusal below is what the demo shows."
run "$build/tools/vorna-image" pack "$board/firmware-other.json" "$keys/dev_private_key.pem" "$board/firmware-other.bin"
status=0
run "$build/vorna/vorna" -u -b 0x10000 -d "$board/table.img" -f "$board/firmware-other.bin" || status=$?
echo "exit status $status"
[ "$status" -eq 251 ]
echo "refused with status 251, as it should be: the device was not written to"

# cfgcrypt: a configuration file encrypted and decrypted again.
echo
sh "$here/demo_cfgcrypt.sh" "$build"

echo
echo "demo: board made, table shown, partitions written and read back, image packed, checked" \
     "and installed (again without a NOR write), another product's image refused, cfgcrypt" \
     "round trip: all shown; the files are in $board"
