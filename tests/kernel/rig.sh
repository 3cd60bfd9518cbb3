#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The kernel rig: vorna on real MMC and MTD devices under emulation.
#
#   sh tests/kernel/rig.sh BUILD_DIR [SCENARIO...]
#
# Fetches Debian's current kernel and busybox-static packages (apt-get download,
# cached in BUILD_DIR/kernel/cache), builds an initramfs holding busybox, the
# kernel's MMC, MTD and virtio modules, and BUILD_DIR's native vorna with its
# libraries, then runs each scenario (tests/kernel/scenarios/*.scn, or those
# named) on a fresh board: a NOR disk file that the guest reaches as /dev/mtd0
# and /dev/mtdblock0, an SD card image that it reaches as /dev/mmcblk0, and an
# ext4 state disk that it mounts over the build's tests folder (vorna's lock,
# record and floor, which must outlive a power cut as the devices do).
# The guest has no network; results come back through the disk files and the
# serial console. One line per scenario, then the tally. See README.md.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: rig.sh BUILD_DIR [SCENARIO...]}" && pwd)
shift
cache=$build/kernel/cache
work=$(mktemp -d "${TMPDIR:-/tmp}/vorna-kernel.XXXXXX")
# KERNEL_RIG_KEEP=1 keeps the work folder (boards, consoles, initramfs) for a look.
[ -n "${KERNEL_RIG_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT INT TERM
vorna_image=$build/tools/vorna-image
# The test copy of vorna, which trusts the development key the rig signs with, whatever
# key the build itself was configured with; and the one that also trusts the strong
# test key A, which a streamed upgrade needs (the guest's vorna-strong).
vorna_bin=$build/tests/vorna_dev
vorna_strong_bin=$build/tests/vorna_strong_a
strong_key=$root/tests/data/strong/key_a.pem
boot_timeout=${KERNEL_BOOT_TIMEOUT:-300}

# mkfs.ext4 makes each board's state disk; it lives in sbin, which a user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
for tool in qemu-system-x86_64 apt-get apt-cache dpkg-deb depmod modprobe cpio gzip mkfs.ext4; do
    command -v "$tool" >/dev/null || { echo "kernel rig: $tool is missing (apt-get install qemu-system-x86 kmod cpio e2fsprogs)" >&2; exit 1; }
done
for f in "$vorna_bin" "$vorna_strong_bin" "$vorna_image" "$build/tests/libmtd_nor.so" "$build/tests/libpower_cut.so" \
         "$build/tests/libtamper_image.so" "$build/tests/libkill_after_writes.so"; do
    [ -f "$f" ] || { echo "kernel rig: $f is missing (make build first)" >&2; exit 1; }
done

# --- the packages: the versions the archive has now ----------------------------
# $1: package name. Prints the folder its contents were unpacked to.
unpacked() {
    version=$(apt-cache policy "$1" | sed -n 's/^ *Candidate: //p')
    [ -n "$version" ] && [ "$version" != "(none)" ] || { echo "kernel rig: no candidate for $1" >&2; return 1; }
    dir=$cache/$1_$(echo "$version" | tr ':' '_')
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir" && mkdir -p "$dir/deb" "$dir/root"
        (cd "$dir/deb" && apt-get download -q "$1" >/dev/null 2>&1) || { echo "kernel rig: apt-get download $1 failed" >&2; return 1; }
        dpkg-deb -x "$dir"/deb/*.deb "$dir/root"
        touch "$dir/.unpacked"
    fi
    echo "$dir/root"
}
mkdir -p "$cache"
kernel_pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$kernel_pkg" ] || { echo "kernel rig: apt-cache names no kernel behind linux-image-amd64" >&2; exit 1; }
kver=${kernel_pkg#linux-image-}
kroot=$(unpacked "$kernel_pkg")
bbroot=$(unpacked busybox-static)
[ -f "$kroot/lib/modules/$kver/modules.dep" ] || depmod -b "$kroot" "$kver"

# --- the initramfs every boot starts from --------------------------------------
base=$work/base
mkdir -p "$base/bin" "$base/usr/bin" "$base/lib/rig/modules" "$base/proc" "$base/sys" "$base/dev" "$base/tmp" "$base/rig"
# The test copies of vorna take their upgrade lock and keep their state folder (the
# record of an upgrade in progress, the floor) in the build's tests folder
# (tests/CMakeLists.txt), which the guest must have too. The record must outlive a
# power cut as the devices do, so the guest mounts the board's state disk (ext4, on
# the second virtio disk) there; /lib/rig/tests names the folder.
mkdir -p "$base$build/tests"
echo "$build/tests" > "$base/lib/rig/tests"
cp "$bbroot/bin/busybox" "$base/bin/busybox"
cp "$here/init.sh" "$base/init"
# ext4 for the state disk; its CRC32C comes from crc32c_generic, as the emulated CPU
# has no SSE 4.2 for the crc32c-intel module that modprobe lists first.
for module in virtio_pci virtio_blk sdhci_pci mmc_block mtdblock block2mtd ext4; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$module"
done | awk '$1 == "insmod" && $2 !~ /crc32c-intel/ && !seen[$2]++ { print $2 }' > "$work/modules"
while read -r ko; do
    cp "$ko" "$base/lib/rig/modules/" && basename "$ko" >> "$base/lib/rig/modules/order"
done < "$work/modules"
# A program or library and every library it loads, at the paths it loads them from.
with_libraries() {
    cp "$1" "$2"
    ldd "$1" | awk '/=> \// { print $3 } /^\t\/.*ld-linux/ { print $1 }' | while read -r lib; do
        mkdir -p "$base$(dirname "$lib")" && cp -L "$lib" "$base$lib"
    done
}
with_libraries "$vorna_bin" "$base/usr/bin/vorna"
with_libraries "$vorna_strong_bin" "$base/usr/bin/vorna-strong"
for lib in mtd_nor power_cut tamper_image kill_after_writes; do
    with_libraries "$build/tests/lib$lib.so" "$base/lib/rig/$lib.so"
done
(cd "$base" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/base.cpio.gz"

# --- one boot -------------------------------------------------------------------
boots=0 cuts=0 boot_seconds=0
# $1: scenario folder, $2: boot number. Boots the board with the boot's steps and
# leaves the console in $1/console.$2.
boot() {
    (cd "$1" && find rig | cpio -o -H newc --quiet) > "$1/step.cpio"
    # The kernel takes an uncompressed archive only in front of a compressed one.
    cat "$1/step.cpio" "$work/base.cpio.gz" > "$1/initrd"
    start=$(date +%s)
    timeout "$boot_timeout" qemu-system-x86_64 -M pc -m 512 -nographic -no-reboot -net none \
        -kernel "$kroot/boot/vmlinuz-$kver" -initrd "$1/initrd" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3" \
        -drive "file=$1/nor.img,format=raw,if=virtio" -drive "file=$1/state.img,format=raw,if=virtio" \
        -device sdhci-pci -drive "id=emmc,file=$1/emmc.img,format=raw,if=none" -device sd-card,drive=emmc \
        < /dev/null > "$1/console.$2" 2>&1 || echo "RIG qemu ended with $?" >> "$1/console.$2"
    boots=$((boots + 1))
    boot_seconds=$((boot_seconds + $(date +%s) - start))
}

# $1: folder, $2: boot number, $3: steps, $4: the boot ends in a cut. Empty when
# the console shows what the boot promised, else the reason.
boot_failure() {
    console=$1/console.$2
    grep -a "RIG .*FAIL\|RIG missing\|RIG module\|RIG qemu" "$console" | head -n 1 | tr -d '\r' && return
    oks=$(grep -ac "^RIG step $2\.[0-9]* ok" "$console" || true)
    if [ "$4" = yes ]; then
        grep -aq "sysrq: Resetting" "$console" || { echo "boot $2: no power cut"; return; }
        grep -aq "RIG boot done" "$console" && { echo "boot $2: ran on after the cut"; return; }
        [ "$oks" -eq $(($3 - 1)) ] || echo "boot $2: $oks of $(($3 - 1)) steps before the cut passed"
    else
        grep -aq "RIG boot done" "$console" || { echo "boot $2: did not finish"; return; }
        [ "$oks" -eq "$3" ] || echo "boot $2: $oks of $3 steps passed"
    fi
}

# --- one scenario ------------------------------------------------------------------
# Directives, one a line (# starts a comment):
#   board NAME             boards/NAME.json, made with vorna-image board
#   devices NOR EMMC       the device paths the guest's table names
#   random FILE SIZE       FILE of SIZE random bytes
#   splice OUT FROM OFFSET PIECE  OUT is FROM with PIECE at OFFSET (a multiple of 4096)
#   image FILE MANIFEST    images/MANIFEST packed with the development key into FILE
#   stream-image FILE MANIFEST SV  the same, also signed by the strong test key A
#                          (a streamed upgrade needs it), with @SV@ in MANIFEST
#                          (its security_version) replaced by SV; FILE.entries
#                          lists each entry's device, base and contents for rerun
#   boot                   a new boot of the board; the steps below run in it
#   run STATUS COMMAND     COMMAND (a shell line, in /rig) must end with STATUS
#   cut WHEN COMMAND       power cut while COMMAND (a vorna run) runs: WHEN is N
#                          (after its N-th output line), TEXT:N (the N-th line
#                          holding TEXT) or end (right after it ends with 0)
#   host DISK OFFSET FILE  after the last boot, DISK (nor or emmc) holds FILE
#   unchanged DISK         after the last boot, DISK is as the board was made
run_scenario() {
    name=$(basename "$1" .scn)
    dir=$work/$name
    mkdir -p "$dir/rig"
    # The state disk: the tests' folder of the guest, where vorna keeps its record
    # and floor across the boots and cuts of this board.
    head -c 16777216 /dev/zero > "$dir/state.img"
    mkfs.ext4 -q -F "$dir/state.img" >/dev/null 2>&1
    nboot=0 steps=0 has_cut=no pending=no failure="" scenario_cuts=0 started=$(date +%s) boots=0 boot_seconds=0
    finish_boot() {
        [ "$pending" = yes ] || return 0
        pending=no
        boot "$dir" "$nboot"
        [ -n "$failure" ] || failure=$(boot_failure "$dir" "$nboot" "$steps" "$has_cut")
    }
    while read -r verb rest; do
        [ -n "$failure" ] && break
        case $verb in
        ''|'#'*) continue ;;
        board)
            "$vorna_image" board "$here/boards/$rest.json" "$dir/board" > "$dir/board.log" 2>&1 ||
                { failure="board $rest: $(tail -n 1 "$dir/board.log")"; continue; }
            board=$rest
            mv "$dir/board/nor.img" "$dir/board/emmc.img" "$dir/" ;;
        devices)
            set -- $rest
            nor_device=$1 emmc_device=$2
            # The table the board tool wrote names the host's files; the guest's
            # names its devices, padded with blanks to the same length.
            description=$here/boards/$board.json
            disk=$(sed -n 's/.*"table-device": *"\(nor\|emmc\)\.img".*/\1/p' "$description")
            table_at=$(($(sed -n 's/.*"table-base": *"\(0x[0-9a-fA-F]*\)".*/\1/p' "$description")))
            len=$(tail -c +$((table_at + 1)) "$dir/$disk.img" | head -c 32768 | tr -d '\377\000' | wc -c)
            tail -c +$((table_at + 1)) "$dir/$disk.img" | head -c "$len" |
                sed "s#\"$dir/board/nor.img\"#\"$1\"#; s#\"$dir/board/emmc.img\"#\"$2\"#" > "$dir/table"
            while [ "$(wc -c < "$dir/table")" -lt "$len" ]; do printf ' ' >> "$dir/table"; done
            dd if="$dir/table" of="$dir/$disk.img" bs=1 seek="$table_at" conv=notrunc status=none
            cp "$dir/nor.img" "$dir/nor.made"; cp "$dir/emmc.img" "$dir/emmc.made" ;;
        random)
            set -- $rest
            head -c $(($2)) /dev/urandom > "$dir/rig/$1" ;;
        splice)
            set -- $rest
            cp "$dir/rig/$2" "$dir/rig/$1"
            dd if="$dir/rig/$4" of="$dir/rig/$1" bs=4096 seek=$(($3 / 4096)) conv=notrunc status=none ;;
        image)
            set -- $rest
            cp "$here/images/$2" "$dir/rig/$2"
            "$vorna_image" pack "$dir/rig/$2" "$root/keys/dev_private_key.pem" "$dir/rig/$1" > "$dir/pack.log" 2>&1 ||
                failure="image $1: $(tail -n 1 "$dir/pack.log")"
            rm -f "$dir/rig/$2" ;;
        stream-image)
            set -- $rest
            sed "s/@SV@/$3/" "$here/images/$2" > "$dir/rig/$2"
            "$vorna_image" pack "$dir/rig/$2" "$root/keys/dev_private_key.pem" "$dir/rig/$1" --key "$strong_key" \
                > "$dir/pack.log" 2>&1 || failure="image $1: $(tail -n 1 "$dir/pack.log")"
            sed -n 's/.*"base": *"\([^"]*\)".*"type": *"\([a-z]*\)".*"file": *"\([^"]*\)".*/\2 \1 \3/p' "$dir/rig/$2" |
                sed "s#^nor #$nor_device #; s#^emmc #$emmc_device #" > "$dir/rig/$1.entries"
            rm -f "$dir/rig/$2" ;;
        boot)
            finish_boot
            nboot=$((nboot + 1)) steps=0 has_cut=no pending=yes
            : > "$dir/rig/boot.sh" ;;
        run)
            steps=$((steps + 1))
            status=${rest%% *} command=${rest#* }
            printf '%s\ns=$?; [ $s = %s ] && echo "RIG step %s ok" || echo "RIG step %s FAIL: %s ended with $s"\n' \
                "$command" "$status" "$nboot.$steps" "$nboot.$steps" "$(echo "$command" | tr -d '"$\\')" >> "$dir/rig/boot.sh" ;;
        cut)
            steps=$((steps + 1)) has_cut=yes scenario_cuts=$((scenario_cuts + 1))
            when=${rest%% *} command=${rest#* }
            if [ "$when" = end ]; then
                printf '%s && echo b > /proc/sysrq-trigger\n' "$command" >> "$dir/rig/boot.sh"
            else
                match=""; case $when in *:*) match=${when%:*} when=${when##*:} ;; esac
                # Exported in a subshell, so that COMMAND may be a pipeline into vorna
                # (busybox, static, loads no preloaded library).
                printf '(export LD_PRELOAD=/lib/rig/power_cut.so VORNA_CUT_AT_LINE=%s VORNA_CUT_MATCH="%s"; %s)\n' \
                    "$when" "$match" "$command" >> "$dir/rig/boot.sh"
            fi
            printf 'echo "RIG step %s FAIL: no power cut"\n' "$nboot.$steps" >> "$dir/rig/boot.sh" ;;
        host)
            finish_boot
            set -- $rest
            [ -n "$failure" ] || tail -c +$(($2 + 1)) "$dir/$1.img" | head -c "$(wc -c < "$dir/rig/$3")" |
                cmp -s - "$dir/rig/$3" || failure="$1 does not hold $3 at $2" ;;
        unchanged)
            finish_boot
            [ -n "$failure" ] || cmp -s "$dir/$rest.img" "$dir/$rest.made" || failure="$rest changed" ;;
        *) failure="unknown directive '$verb'" ;;
        esac
    done < "$1"
    [ -n "$failure" ] || finish_boot
    if [ -z "$failure" ]; then
        echo "PASS $name ($(($(date +%s) - started)) s, $nboot boots, $scenario_cuts cuts)"
        # What each rerun of an interrupted upgrade wrote (the boot helper rerun).
        # (shown_boot: the lanes' loop below counts with i in this same shell)
        shown_boot=1
        while [ "$shown_boot" -le "$nboot" ]; do
            tr -d '\r' < "$dir/console.$shown_boot" | sed -n "s/^RIG rewritten /  boot $shown_boot rerun: /p"
            shown_boot=$((shown_boot + 1))
        done
    else
        echo "FAIL $name: $failure"
        [ -z "${KERNEL_RIG_KEEP:-}" ] || echo "  kept in $dir"
    fi
    echo "counts $boots $scenario_cuts $boot_seconds"
}

# The scenarios run in KERNEL_RIG_JOBS lanes (one qemu each, 2 by default), each
# lane taking every JOBS-th scenario in turn; the lines are printed in order.
jobs=${KERNEL_RIG_JOBS:-2}
started_all=$(date +%s)
if [ $# -eq 0 ]; then set -- "$here"/scenarios/*.scn; fi
echo "kernel rig: $kernel_pkg, busybox-static $(basename "$(dirname "$bbroot")" | sed 's/^busybox-static_//'), $jobs lanes"
lane=0
while [ "$lane" -lt "$jobs" ]; do
    (
        i=0
        for scenario in "$@"; do
            [ $((i % jobs)) -eq "$lane" ] && run_scenario "$scenario" > "$work/result.$i"
            i=$((i + 1))
        done
    ) &
    lane=$((lane + 1))
done
wait
passed=0 failed=0 i=0
for scenario in "$@"; do
    [ -s "$work/result.$i" ] || printf 'FAIL %s: the rig stopped\ncounts 0 0 0\n' "$(basename "$scenario" .scn)" > "$work/result.$i"
    set -- $(tail -n 1 "$work/result.$i")
    boots=$((boots + $2)) cuts=$((cuts + $3)) boot_seconds=$((boot_seconds + $4))
    sed '$d' "$work/result.$i"
    if head -n 1 "$work/result.$i" | grep -q '^PASS'; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    i=$((i + 1))
done
echo "kernel rig: $boots boots (qemu $((boot_seconds / (boots > 0 ? boots : 1))) s each on average), $cuts power cuts, $(($(date +%s) - started_all)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
