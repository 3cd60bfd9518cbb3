#!/bin/busybox sh
# SPDX-License-Identifier: Apache-2.0
# The guest's /init: brings up the board's devices (the eMMC card on the MMC
# stack, the NOR flash as an MTD device over the first virtio disk), runs the
# boot's steps from /rig/boot.sh and powers off. Every result goes to the
# serial console as a "RIG ..." line.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
while read -r module; do
    insmod "/lib/rig/modules/$module" || echo "RIG module $module failed"
done < /lib/rig/modules/order

wait_for() {
    n=0
    while [ ! -e "$1" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    [ -e "$1" ] || echo "RIG missing $1"
}
wait_for /dev/vda
echo /dev/vda,65536 > /sys/module/block2mtd/parameters/block2mtd
wait_for /dev/mtd0
wait_for /dev/mtdblock0
wait_for /dev/mmcblk0
echo 1 > /proc/sys/kernel/sysrq
# Other programs on a product may hold the devices open, and then closing them
# flushes nothing: the last close of a block device would make durable what
# vorna alone did not. So the guest holds them open for the whole boot.
exec 7< /dev/mmcblk0 8< /dev/mtdblock0

# Helpers for the steps. same DEV OFFSET FILE: the device holds FILE at OFFSET.
same() {
    len=$(wc -c < "$3")
    [ "$(tail -c +$(($2 + 1)) "$1" | head -c "$len" | md5sum)" = "$(md5sum < "$3")" ]
}
# one_of FILE A B...: FILE is byte for byte one of the others.
one_of() {
    f=$1; shift
    for other in "$@"; do cmp -s "$f" "$other" && return 0; done
    return 1
}

cd /rig
echo "RIG boot start"
. /rig/boot.sh
echo "RIG boot done"
sync
poweroff -f
