#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# SWUpdate installs a signed .swu made by vorna-swu through the vorna handler on
# a simulated board (both devices byte for byte), and fails one whose image is
# for another product, or whose install vorna fails while the temporary folder
# is read-only, leaving the devices as they were.
# Usage: swupdate_test.sh VORNA VORNA_IMAGE SOURCE_DIR
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
    need "swupdate cpio" swupdate cpio openssl
    VORNA_ENGINE_NAMESPACE=1 exec unshare --mount --propagation private sh "$0" "$@"
fi

private_tmp
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
umount "$work/scratch" || true
umount "$work/board" || true
[ "$status" -ne 0 ] || fail "temporary folder read-only: installed: $(cat "$work/log")"
grep -q '^\[ERROR\].*vorna -u ended with status 255' "$work/log" ||
    fail "temporary folder read-only: no status in the log: $(cat "$work/log")"
board_unchanged "temporary folder read-only"
[ -n "${VORNA_ENGINE_LOG:-}" ] && cat "$work/log.install" "$work/log" >"$VORNA_ENGINE_LOG"
echo "swupdate: signed .swu installed, image for another product refused"
