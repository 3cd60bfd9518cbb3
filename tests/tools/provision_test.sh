#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# A factory provisions a board as docs/provisioning.md says: vorna-image board
# --provision makes the table and the framed contents, and dd puts each at the
# offset it lists onto files standing in for /dev/mtd0 and /dev/mmcblk0 as a new
# board has them (NOR erased, eMMC zeros). The board then holds the same bytes
# as the simulated board of the same description, and vorna shows, reads, checks
# and upgrades it. A table vorna would refuse is refused before any file is made.
# Usage: provision_test.sh VORNA VORNA_IMAGE SOURCE_DIR
set -eu
vorna=$1 vorna_image=$2 src=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

dev=$work/dev
mkdir "$dev"
sed "s|\"/dev/|\"$dev/|" "$src/tools/demo/provision.json" >"$work/provision.json"
cp "$src/tools/demo/device-info.json" "$work/"
"$vorna_image" board --provision "$work/provision.json" "$work/factory" >"$work/plan" || fail "provision: $(cat "$work/plan")"

# The plan: the table and both contents, each at its partition's base.
cat >"$work/plan.expected" <<EOF
provisioning files in $work/factory (each goes at its offset of its device):
  table.json           at 0x00010000 of $dev/mmcblk0, $(wc -c <"$work/factory/table.json") bytes
  device-info.bin      at 0x00090000 of $dev/mtd0, 307 bytes (device-info: 291 bytes behind a header)
  config.bin           at 0x02900000 of $dev/mmcblk0, 16 bytes (config: 0 bytes behind a header)
EOF
diff "$work/plan.expected" "$work/plan" || fail "the plan differs"
grep -q "\"device\":	\"$dev/mtd0\"" "$work/factory/table.json" || fail "the table does not keep the device paths"

# A new board, then the factory's writes at the offsets the plan lists.
head -c $((0x1000000)) /dev/zero | tr '\0' '\377' >"$dev/mtd0"
truncate -s $((0x4000000)) "$dev/mmcblk0"
tail -n +2 "$work/plan" | while read -r file _ offset _ device _; do
    dd if="$work/factory/$file" of="${device%,}" bs=1 seek=$((offset)) conv=notrunc status=none
done

# The same bytes as the simulated board of the same description.
"$vorna_image" board "$src/tools/demo/board.json" "$work/sim" >/dev/null
cmp "$work/sim/nor.img" "$dev/mtd0" || fail "NOR differs from the simulated board"
cmp -n $((0x4000000 - 0x20000)) "$work/sim/emmc.img" "$dev/mmcblk0" $((0x20000)) $((0x20000)) ||
    fail "eMMC differs from the simulated board"
table_len=$(wc -c <"$work/factory/table.json")
cmp -n "$table_len" "$work/factory/table.json" "$dev/mmcblk0" 0 $((0x10000)) || fail "the table is not at 0x10000"

# vorna on the provisioned board.
"$vorna" -s -b 0x10000 -d "$dev/mmcblk0" >"$work/show" || fail "vorna -s: $(cat "$work/show")"
grep -q "$dev/mtd0" "$work/show" || fail "vorna -s does not name the NOR device"
"$vorna" -r -b 0x10000 -d "$dev/mmcblk0" -n device-info -o "$work/identity.json" || fail "vorna -r device-info"
cmp "$work/identity.json" "$src/tools/demo/device-info.json" || fail "device-info reads back different"

cp "$src/tools/demo/firmware.json" "$work/"
for f in bootloader radio kernel rootfs; do head -c 70000 /dev/urandom >"$work/$f.bin"; done
"$vorna_image" pack "$work/firmware.json" "$src/keys/dev_private_key.pem" "$work/fw.bin" >/dev/null
"$vorna" -c -b 0x10000 -d "$dev/mmcblk0" -f "$work/fw.bin" >"$work/check" || fail "vorna -c: $(cat "$work/check")"
printf '%s\n' '[INFO]vorna_firmware:207 | rsa check pass' \
    '[INFO]vorna_firmware:469 | Firmware is upgradable for this DEVICE. ' | diff - "$work/check" || fail "vorna -c lines"
"$vorna" -u -b 0x10000 -d "$dev/mmcblk0" -f "$work/fw.bin" >"$work/upgrade" || fail "vorna -u: $(cat "$work/upgrade")"
cmp -n 70000 "$work/bootloader.bin" "$dev/mtd0" || fail "bootloader not written"
cmp -n 70000 "$work/radio.bin" "$dev/mtd0" 0 $((0xa0000)) || fail "radio not written"
cmp -n 70000 "$work/rootfs.bin" "$dev/mmcblk0" 0 $((0x900000)) || fail "rootfs not written"
cmp -n "$table_len" "$work/factory/table.json" "$dev/mmcblk0" 0 $((0x10000)) || fail "the upgrade hit the table"

# Refused before anything is made: a table vorna would refuse (a partition
# name of 32 characters), and a device that is a simulated board's file name.
for case in 's|"bootloader"|"bootloader-bootloader-bootloader"|' 's|"/dev/mtd0"|"nor.img"|'; do
    sed "$case" "$src/tools/demo/provision.json" >"$work/bad.json"
    cp "$src/tools/demo/device-info.json" "$work/"
    if "$vorna_image" board --provision "$work/bad.json" "$work/bad" >"$work/log" 2>&1; then
        fail "provisioned with $case"
    fi
    [ ! -e "$work/bad/table.json" ] || fail "table.json made with $case"
done
echo "provisioned, shown, checked and upgraded"
