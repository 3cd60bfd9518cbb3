#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# SWUpdate installs a signed .swu made by vorna-swu through the vorna handler on
# a simulated board (both devices byte for byte), and fails one whose image is
# for another product, or whose install vorna fails while the temporary folder
# is read-only, leaving the devices as they were. Streamed (vorna-swu -s, with
# vorna-swupdate-stream as SWUpdate's pre-update command), the image is stored
# nowhere (SWUpdate's temporary folder is smaller than it) and installs; an
# image for another product is refused before any write; a wrong block or a cut
# .swu fails the update with the devices holding only verified blocks; without
# the pre-update command the update fails at once. An image below the device's
# floor is refused (250) with vorna's line and what the status means; a wrong
# block leaves vorna's record of the incomplete upgrade, whose line the log shows.
# Usage: swupdate_test.sh VORNA VORNA_IMAGE SOURCE_DIR LOCK_PATH
# SWUpdate keeps its sockets and scratch files in /tmp: the test runs in a
# private mount namespace with the test's own folder mounted there, so that
# nothing outside that folder changes.
set -eu

vorna=$1
vorna_image=$2
src=$3
keys=$src/keys
. "$src/tests/engines/rig.sh"

if [ -z "${VORNA_ENGINE_NAMESPACE:-}" ]; then
    need "swupdate cpio" swupdate cpio openssl flock
    VORNA_ENGINE_NAMESPACE=1 exec unshare --mount --propagation private sh "$0" "$@"
fi

private_tmp
private_state "$4"
make_board
make_image "$work/fw.bin" "Vorna V2"
make_image "$work/other.bin" "Vorna V9"
printf 'device = %s\nbase = 0x10000\nvorna = %s\n' "$work/board/table.img" "$vorna" >"$work/ota.conf"
export VORNA_OTA_CONF="$work/ota.conf"

# The signer: a certificate for CMS signatures (emailProtection).
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signer.key" -out "$work/signer.crt" -days 2 \
    -subj "/CN=vorna test signer" -addext "extendedKeyUsage=emailProtection" 2>/dev/null
swu() {
    sh "$src/integrations/swupdate/vorna-swu" -H 1.0 -p "$work/incoming/firmware.bin" "$1" \
        "$work/signer.crt" "$work/signer.key" "$2"
}
mkdir "$work/incoming"
swu "$work/fw.bin" "$work/fw.swu"
swu "$work/other.bin" "$work/other.swu"

install() {
    swupdate -v -k "$work/signer.crt" -H vorna-v2:1.0 -i "$1" >"$work/log" 2>&1
}

save_board
install "$work/fw.swu" || fail "install of a signed .swu: status $?, $(cat "$work/log")"
board_installed "signed .swu"
cp "$work/log" "$work/log.install"
grep -q 'vorna: progress kernel 1500000 1500000' "$work/log" || fail "no progress in the log: $(cat "$work/log")"
[ ! -e "$work/incoming/firmware.bin" ] || fail "the image was left at its fixed path"

save_board
status=0
install "$work/other.swu" || status=$?
[ "$status" -ne 0 ] || fail "an image for another product was installed: $(cat "$work/log")"
# Failures are logged as errors, progress is not.
grep -q '^\[ERROR\].*vorna: \[ERROR\]vorna_firmware:465 ' "$work/log" || fail "the refusal is no error: $(cat "$work/log")"
grep -q '^\[ERROR\].*vorna -c ended with status 251' "$work/log" || fail "no status in the log: $(cat "$work/log")"
! grep -q '^\[ERROR\].*progress' "$work/log" "$work/log.install" || fail "progress logged as an error"
board_unchanged "image for another product"

# A floor above the image's security_version (0: it has none): the check refuses
# it, and the failure gives vorna's line and what the status means.
save_board
raise_floor 9
status=0
install "$work/fw.swu" || status=$?
rm "$state/security-floor"
[ "$status" -ne 0 ] || fail "downgrade: installed: $(cat "$work/log")"
grep -q '^\[ERROR\].*vorna: \[ERROR\]vorna_firmware:701 ' "$work/log" || fail "downgrade: vorna's line is no error: $(cat "$work/log")"
grep -q "^\[ERROR\].*vorna -c ended with status 250 (see vorna(1), EXIT STATUS): the image's security_version is below the device's floor" \
    "$work/log" || fail "downgrade: no status in the log: $(cat "$work/log")"
board_unchanged "downgrade"

# The temporary folder turns read-only after the check, while vorna fails to
# open the devices (255): the install fails and says so, whatever the check left
# there. The vorna that ota.conf names here breaks both, then runs the real one.
cat >"$work/breaking-vorna" <<'SH'
#!/bin/sh
[ "$1" = -u ] && mount --bind -o ro "$TMPDIR" "$TMPDIR" && mount --bind -o ro "$BOARD" "$BOARD"
exec "$VORNA" "$@"
SH
chmod +x "$work/breaking-vorna"
sed "s|^vorna = .*|vorna = $work/breaking-vorna|" "$work/ota.conf" >"$work/ota-breaking.conf"
mkdir "$work/scratch"
export VORNA_OTA_CONF="$work/ota-breaking.conf" VORNA="$vorna" BOARD="$work/board" TMPDIR="$work/scratch"
status=0
install "$work/fw.swu" || status=$?
export VORNA_OTA_CONF="$work/ota.conf" TMPDIR=/tmp
# A -u retried on a held lock mounted them again: unmount every layer.
while umount "$work/scratch" 2>/dev/null; do :; done
while umount "$work/board" 2>/dev/null; do :; done
[ "$status" -ne 0 ] || fail "temporary folder read-only: installed: $(cat "$work/log")"
grep -q '^\[ERROR\].*vorna -u ended with status 255' "$work/log" ||
    fail "temporary folder read-only: no status in the log: $(cat "$work/log")"
board_unchanged "temporary folder read-only"

# Streamed: the raw handler copies the image into the named pipe that the
# pre-update command made, which vorna reads. SWUpdate's temporary folder has
# no room for the image.
fifo=$work/run/stream
stream_swu() {
    sh "$src/integrations/swupdate/vorna-swu" -H 1.0 -s "$fifo" "$1" "$work/signer.crt" "$work/signer.key" "$2"
}
stream_swu "$work/fw.bin" "$work/fw-stream.swu"
stream_swu "$work/other.bin" "$work/other-stream.swu"
corrupt_kernel "$work/fw.bin" "$work/wrong-block.bin"
stream_swu "$work/wrong-block.bin" "$work/wrong-block.swu"
head -c 1500000 "$work/fw-stream.swu" >"$work/cut.swu"
mkdir -p "$work/small"
mount -t tmpfs -o size=512k tmpfs "$work/small"
[ "$(wc -c <"$work/fw.bin")" -gt 524288 ] || fail "the image fits in SWUpdate's temporary folder"
stream_install() {
    TMPDIR=$work/small swupdate -v -k "$work/signer.crt" -H vorna-v2:1.0 \
        -P "$src/integrations/swupdate/vorna-swupdate-stream $fifo" -i "$1" >"$work/log" 2>&1
}
restore_board() {
    cp "$work/saved/nor.img" "$work/board/nor.img"
    cp "$work/saved/emmc.img" "$work/board/emmc.img"
}
# A new board, so that each case starts from the old firmware.
rm -rf "$work/board"
make_board
save_board
restore_board
stream_install "$work/fw-stream.swu" || fail "install of a streamed .swu: status $?, $(cat "$work/log")"
board_installed "streamed .swu"
grep -q 'vorna: stage write kernel 2 2' "$work/log" || fail "streamed: vorna's lines are not in the log: $(cat "$work/log")"
! grep -q '^\[ERROR\]' "$work/log" || fail "streamed: errors in the log of a success: $(cat "$work/log")"
[ ! -e "$fifo" ] || fail "streamed: the named pipe was left for a writer without a reader"

# Each failing update: its status, the line that says why, what the board holds.
while read -r swu line; do
    restore_board
    status=0
    stream_install "$work/$swu" || status=$?
    # SWUpdate does not wait for the reader when it fails before the script.
    flock "$fifo.lock" true
    [ "$status" -ne 0 ] || fail "$swu: installed: $(cat "$work/log")"
    grep -q "$line" "$work/log" || fail "$swu: no '$line' in the log: $(cat "$work/log")"
    case "$swu" in
        other-stream.swu) board_unchanged "$swu" ;;
        *) board_old_or_new "$swu"
           cmp -s "$work/expected-emmc.img" "$work/board/emmc.img" && fail "$swu: the whole kernel was written" ;;
    esac
done <<'CASES'
other-stream.swu ^\[ERROR\].*vorna: \[ERROR\]vorna_firmware:465 
wrong-block.swu ^\[ERROR\].*vorna-install: vorna -u ended with status
wrong-block.swu ^\[ERROR\].*vorna-install: vorna --last-upgrade: state=incomplete image=index:[0-9a-f]* entry=[0-9]*/[0-9]* partition=kernel .*install the same image again
cut.swu ^\[ERROR\].*SWUpdate \*failed\*
CASES
# No script runs after a failed image: vorna's lines stay in the reader's log.
grep -q '^\[ERROR\]vorna_firmware:672 ' "$fifo.log" || fail "cut .swu: vorna did not stop at the stream's end: $(cat "$fifo.log")"
# The reader that the cut update left has ended, and one whose update never
# sent its image (a pre-update command run alone) is ended by the next one,
# with an empty stream: the next update installs.
sh "$src/integrations/swupdate/vorna-swupdate-stream" "$fifo" || fail "the pre-update command alone failed"
restore_board
stream_install "$work/fw-stream.swu" || fail "install after a cut .swu: status $?, $(cat "$work/log")"
board_installed "streamed .swu after a cut one"

# Without the pre-update command there is no named pipe: the raw handler fails
# at once instead of waiting for a reader.
restore_board
status=0
TMPDIR=$work/small swupdate -v -k "$work/signer.crt" -H vorna-v2:1.0 -i "$work/fw-stream.swu" >"$work/log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "streamed without a reader: installed: $(cat "$work/log")"
board_unchanged "streamed without a reader"

[ -n "${VORNA_ENGINE_LOG:-}" ] && cat "$work/log.install" "$work/log" >"$VORNA_ENGINE_LOG"
echo "swupdate: signed .swu installed, image for another product refused; streamed .swu installed, stopped streams failed"
