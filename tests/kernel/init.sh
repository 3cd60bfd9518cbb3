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
wait_for /dev/vdb
# The state disk holds the build's tests folder, where the test copies of vorna keep
# their lock, the record of an upgrade in progress and the floor: it outlives a cut.
tests=$(cat /lib/rig/tests)
state=$tests/state
mount -t ext4 /dev/vdb "$tests" || echo "RIG missing the state disk on /dev/vdb"
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

# stream FILE ARGS...: vorna-strong ARGS -f -, FILE coming through a pipe.
stream() {
    f=$1
    shift
    cat "$f" | vorna-strong "$@" -f -
}
# fifo FILE ARGS...: the same through a FIFO that vorna-strong is given with -f.
fifo() {
    f=$1
    shift
    rm -f /tmp/fifo && mkfifo /tmp/fifo && { cat "$f" > /tmp/fifo & }
    vorna-strong "$@" -f /tmp/fifo
}
# holds FILE: the devices hold every entry of the image FILE (FILE.entries).
holds() {
    while read -r device base contents; do
        same "$device" "$base" "$contents" || return
    done < "$1.entries"
}
# floor_is N: the floor kept in the state folder is N (no file: 0).
floor_is() {
    if [ -e "$state/security-floor" ]; then [ "$(cat "$state/security-floor")" = "$1" ]; else [ "$1" = 0 ]; fi
}
# rerun FILE ARGS...: stream FILE ARGS with every write to the devices logged; the
# bytes written must be those of the 64 KiB blocks (counted from each entry's base,
# FILE.entries) in which the devices differed from the image before. Prints
# "RIG rewritten FILE: WRITTEN of ENTRIES bytes, DIFFERING in blocks that differed".
rerun() {
    f=$1
    shift
    differing=0 entries=0 devices=""
    while read -r device base contents; do
        size=$(wc -c < "$contents")
        entries=$((entries + size))
        case ":$devices:" in *":$device:"*) ;; *) devices=${devices:+$devices:}$device ;; esac
        block=0
        while [ $((block * 65536)) -lt "$size" ]; do
            len=$((size - block * 65536))
            [ "$len" -le 65536 ] || len=65536
            # The MTD character device is written a whole erase block at a time.
            block_len=$len
            [ ! -c "$device" ] || block_len=65536
            was=$(dd if="$device" bs=65536 skip=$((base / 65536 + block)) count=1 2>/dev/null | head -c "$len" | md5sum)
            new=$(dd if="$contents" bs=65536 skip="$block" count=1 2>/dev/null | md5sum)
            [ "$was" = "$new" ] || differing=$((differing + block_len))
            block=$((block + 1))
        done
    done < "$f.entries"
    : > /tmp/writes
    cat "$f" | LD_PRELOAD=/lib/rig/kill_after_writes.so VORNA_FAULT_FILES="$devices" VORNA_FAULT_LOG=/tmp/writes \
        vorna-strong "$@" -f - || return
    written=$(awk '{ s += $3 } END { print s + 0 }' /tmp/writes)
    echo "RIG rewritten $f: $written of $entries bytes, $differing in blocks that differed"
    [ "$written" = "$differing" ]
}

cd /rig
echo "RIG boot start"
. /rig/boot.sh
echo "RIG boot done"
sync
poweroff -f
