#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The Mender client, standalone, installs vorna images through the Update Module
# on a simulated board, the payload streamed into vorna and stored nowhere (the
# client's data folder is smaller than the image): a signed artifact installs
# (both devices byte for byte, the artifact's name recorded), and so does one
# with a compressed payload; an image for another product and an unsigned
# artifact are refused and leave the devices as they were; an image with a
# wrong block and a cut artifact fail the deployment with the devices holding
# only verified blocks; vorna's failure is the deployment's while the module's
# folder is full or read-only; a held upgrade lock is waited for. An image below
# the device's floor is refused (250) and not retried, and a stream that stopped
# after writing began leaves vorna's record, whose line the log shows. With a vorna
# that trusts no strong key, or with "stream = no", the client stores the
# payload and the module installs it from there.
# Usage: mender_test.sh VORNA VORNA_IMAGE SOURCE_DIR LOCK_PATH LEGACY_VORNA
# (LOCK_PATH: the upgrade lock that VORNA takes, the one of the tests' build;
# LEGACY_VORNA: a vorna that trusts no strong key)
# Mender reads fixed system paths (/etc/mender, /usr/share/mender/modules/v3):
# the test runs in a private mount namespace with empty folders mounted over
# them and its temporary folder over /tmp, so that nothing outside that folder
# changes.
set -eu

vorna=$1
vorna_image=$2
src=$3
lock=$4
legacy_vorna=$5
keys=$src/keys
. "$src/tests/engines/rig.sh"

if [ -z "${VORNA_ENGINE_NAMESPACE:-}" ]; then
    need "mender-client mender-artifact zstd" mender mender-artifact openssl zstd
    [ -d /etc/mender ] && [ -d /usr/share/mender/modules/v3 ] || skip "Mender's folders are missing"
    VORNA_ENGINE_NAMESPACE=1 exec unshare --mount --propagation private sh "$0" "$@"
fi

private_tmp
private_state "$lock"
mount -t tmpfs tmpfs /etc/mender
mount -t tmpfs tmpfs /usr/share/mender/modules/v3
cp "$src/integrations/mender/vorna" /usr/share/mender/modules/v3/vorna
echo "artifact_name=factory" >/etc/mender/artifact_info

make_board
make_image "$work/fw.bin" "Vorna V2"
make_image "$work/other.bin" "Vorna V9"
printf 'device = %s\nbase = 0x10000 # the table\nvorna = %s\n' "$work/board/table.img" "$vorna" >"$work/ota.conf"
export VORNA_OTA_CONF="$work/ota.conf"

# mender-artifact signs with ECDSA P-256 (or PKCS#1 RSA) keys.
openssl ecparam -genkey -name prime256v1 -noout -out "$work/artifact.key" 2>/dev/null
openssl ec -in "$work/artifact.key" -pubout -out "$work/artifact.pub" 2>/dev/null
# Mender's data folder has no room for the image: a module that kept the
# payload there would fail.
mkdir "$work/data"
mount -t tmpfs -o size=1m tmpfs "$work/data"
[ "$(wc -c <"$work/fw.bin")" -gt 1048576 ] || fail "the image fits in Mender's folder"
printf '{ "ArtifactVerifyKey": "%s" }\n' "$work/artifact.pub" >"$work/mender.conf"

artifact() {
    sh "$src/integrations/mender/vorna-mender-artifact" --vorna-image "$vorna_image" "$@" >/dev/null
}
artifact "$work/fw.bin" release-2 "$work/fw.mender" -k "$work/artifact.key"
# Named for this board's device type, but holding an image for another product:
# vorna's own check refuses it. Named for the other product, Mender refuses it.
artifact -t Vorna_V2-2.1-5545 "$work/other.bin" release-other "$work/other.mender" -k "$work/artifact.key"
artifact "$work/other.bin" release-other "$work/other-type.mender" -k "$work/artifact.key"
artifact "$work/fw.bin" release-unsigned "$work/unsigned.mender"
artifact "$work/fw.bin" release-lzma "$work/lzma.mender" -k "$work/artifact.key" --compression lzma
corrupt_kernel "$work/fw.bin" "$work/wrong-block.bin"
artifact -t Vorna_V2-2.1-5545 "$work/wrong-block.bin" release-wrong-block "$work/wrong-block.mender" -k "$work/artifact.key"
# Cut in the kernel's contents, well after the boot loader's.
head -c 1500000 "$work/fw.mender" >"$work/cut.mender"
# The device type the artifact names, taken from the image's support list.
echo "device_type=Vorna_V2-2.1-5545" >"$work/data/device_type"

mender_run() {
    mender -c "$work/mender.conf" -d "$work/data" --no-syslog "$@" >"$work/log" 2>&1
}

save_board
mender_run install "$work/fw.mender" || fail "install of a signed artifact: status $?, $(cat "$work/log")"
board_installed "signed artifact"
cp "$work/log" "$work/log.install"
grep -q 'vorna: writing partition kernel (2 of 2)' "$work/log" || fail "no progress in the log: $(cat "$work/log")"
recorded=$(mender -c "$work/mender.conf" -d "$work/data" --no-syslog show-artifact 2>/dev/null)
[ "$recorded" = release-2 ] || fail "recorded artifact: $recorded"
[ -z "$(find "$work/data" -type f -size +64k)" ] || fail "files left in Mender's folder: $(find "$work/data" -type f -size +64k)"

# The client decompresses the payload before it reaches the module's stream.
cp "$work/saved/nor.img" "$work/board/nor.img"
cp "$work/saved/emmc.img" "$work/board/emmc.img"
mender_run install "$work/lzma.mender" || fail "install of a compressed payload: status $?, $(cat "$work/log")"
board_installed "compressed payload"

# A wrong block (the release team signed a broken image) and a cut artifact:
# vorna stops at the block it cannot verify, or where the stream ends, and the
# deployment fails; the client's own checksum only fails at the end.
while read -r artifact line; do
    cp "$work/saved/nor.img" "$work/board/nor.img"
    cp "$work/saved/emmc.img" "$work/board/emmc.img"
    status=0
    mender_run install "$work/$artifact" || status=$?
    [ "$status" -eq 1 ] || fail "$artifact: status $status, $(cat "$work/log")"
    grep -q "$line" "$work/log" || fail "$artifact: no '$line' in the log: $(cat "$work/log")"
    grep -q 'vorna: \[ERROR\]vorna_firmware:6[7-9][0-9] ' "$work/log" || fail "$artifact: vorna's stream line is not in the log: $(cat "$work/log")"
    # The upgrade is incomplete: the module shows what vorna's record says.
    grep -q 'vorna: vorna --last-upgrade: state=incomplete image=index:[0-9a-f]* entry=[0-9]*/[0-9]* partition=kernel .*install the same image again' \
        "$work/log" || fail "$artifact: the incomplete upgrade is not in the log: $(cat "$work/log")"
    board_old_or_new "$artifact"
    cmp -s "$work/expected-emmc.img" "$work/board/emmc.img" && fail "$artifact: the whole kernel was written"
done <<'CASES'
wrong-block.mender vorna -u ended with status
cut.mender vorna -u ended with status
CASES
recorded=$(mender -c "$work/mender.conf" -d "$work/data" --no-syslog show-artifact 2>/dev/null)
[ "$recorded" = release-lzma ] || fail "recorded artifact after the failed streams: $recorded"

# The same image through a compressed transport, straight into vorna.
zstd -q -c "$work/fw.bin" >"$work/fw.bin.zst"
cp "$work/saved/nor.img" "$work/board/nor.img"
cp "$work/saved/emmc.img" "$work/board/emmc.img"
zstd -dc "$work/fw.bin.zst" | "$vorna" -u -b 0x10000 -d "$work/board/table.img" -f - >"$work/log" 2>&1 ||
    fail "zstd -dc | vorna -u -f -: $(cat "$work/log")"
board_installed "zstd -dc | vorna -u -f -"

save_board
status=0
mender_run install "$work/other.mender" || status=$?
[ "$status" -eq 1 ] || fail "image for another product: status $status, $(cat "$work/log")"
grep -q 'vorna -u ended with status 251: the image is not for this device' "$work/log" ||
    fail "the refusal is not in the log: $(cat "$work/log")"
board_unchanged "image for another product"
# A floor above the image's security_version (0: it has none): refused before
# any write, not retried.
raise_floor 9
status=0
mender_run install "$work/fw.mender" || status=$?
rm "$state/security-floor"
[ "$status" -eq 1 ] || fail "downgrade: status $status, $(cat "$work/log")"
grep -q 'vorna: \[ERROR\]vorna_firmware:701 ' "$work/log" || fail "downgrade: vorna's line is not in the log: $(cat "$work/log")"
grep -q "vorna -u ended with status 250: the image's security_version is below the device's floor" "$work/log" ||
    fail "downgrade: the refusal is not in the log: $(cat "$work/log")"
[ "$(grep -c 'vorna -u ended with status 250' "$work/log")" -eq 1 ] || fail "downgrade: retried: $(cat "$work/log")"
board_unchanged "downgrade"
status=0
mender_run install "$work/other-type.mender" || status=$?
[ "$status" -eq 1 ] || fail "artifact for another device type: status $status, $(cat "$work/log")"
grep -q 'not compatible with device Vorna_V2-2.1-5545' "$work/log" || fail "device type: $(cat "$work/log")"
board_unchanged "artifact for another device type"

# The module's folder takes no more bytes when vorna ends: filled while vorna
# refuses an image (251), or made read-only while vorna fails to open the
# devices (255). The deployment fails, and once the folder takes bytes again
# the artifact installs. The folder is a small file system of its own, broken
# by the vorna that ota.conf names here, a script that runs the real one after.
cat >"$work/breaking-vorna" <<'SH'
#!/bin/sh
# The client runs the module in its folder.
folder=$PWD
case "$FAULT $1" in
    "full -u") cat /dev/zero >"$folder/filler" 2>/dev/null ;;
    "read-only -u") mount --bind -o ro "$folder" "$folder" && mount --bind -o ro "$BOARD" "$BOARD" ;;
esac
exec "$VORNA" "$@"
SH
chmod +x "$work/breaking-vorna"
sed "s|^vorna = .*|vorna = $work/breaking-vorna|" "$work/ota.conf" >"$work/ota-breaking.conf"
export VORNA_OTA_CONF="$work/ota-breaking.conf" VORNA="$vorna" BOARD="$work/board" FAULT
mkdir -p "$work/data/modules"
save_board
while read -r FAULT artifact line; do
    mount -t tmpfs -o size=4m tmpfs "$work/data/modules"
    status=0
    mender_run install "$work/$artifact" || status=$?
    umount -R "$work/data/modules"
    umount -R "$work/board" 2>/dev/null || true
    [ "$status" -eq 1 ] || fail "folder $FAULT: status $status, $(cat "$work/log")"
    grep -q "$line" "$work/log" || fail "folder $FAULT: no '$line' in the log: $(cat "$work/log")"
    board_unchanged "folder $FAULT"
done <<'CASES'
full other.mender vorna -u ended with status 251: the image is not for this device
read-only fw.mender vorna -u ended with status 255: a partition failed to write
CASES
mender_run install "$work/fw.mender" || fail "install after the folder recovered: status $?, $(cat "$work/log")"
board_installed "install after the folder recovered"
export VORNA_OTA_CONF="$work/ota.conf"

status=0
mender_run install "$work/unsigned.mender" || status=$?
[ "$status" -eq 1 ] || fail "unsigned artifact: status $status, $(cat "$work/log")"
grep -q 'expecting signed artifact' "$work/log" || fail "not refused for its signature: $(cat "$work/log")"
board_unchanged "unsigned artifact"
recorded=$(mender -c "$work/mender.conf" -d "$work/data" --no-syslog show-artifact 2>/dev/null)
[ "$recorded" = release-2 ] || fail "recorded artifact after the refusals: $recorded"
# While another upgrade holds vorna's lock, the module waits for it. The holder
# lets go once the module has said that it waits (or once the install has ended,
# so that a module that does not wait fails below instead of hanging).
rm -f "$work/released"
perl -e 'use Fcntl; my ($lock, $log, $done) = @ARGV;
         open(F, ">>", $lock) or die "$lock: $!"; my $s = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 0, 0);
         fcntl(F, F_SETLK, $s) or die "$lock: $!"; $| = 1; print "held\n";
         sub waited { open(my $l, "<", $log) or return 0; return scalar grep { /another upgrade holds the lock/ } <$l> }
         until (-e $done || waited()) { select(undef, undef, undef, 0.1) }' \
    "$lock" "$work/log" "$work/released" >"$work/held" &
holder=$!
n=0
until [ -s "$work/held" ]; do
    kill -0 "$holder" 2>/dev/null || fail "could not hold the upgrade lock $lock"
    n=$((n + 1))
    [ "$n" -lt 600 ] || fail "could not hold the upgrade lock $lock"
    sleep 0.1
done
: >"$work/log"
status=0
mender_run install "$work/fw.mender" || status=$?
touch "$work/released"
wait "$holder" || fail "the holder of the lock failed"
[ "$status" -eq 0 ] || fail "install while the lock was held: status $status, $(cat "$work/log")"
grep -q 'another upgrade holds the lock' "$work/log" || fail "the lock was not waited for: $(cat "$work/log")"
board_installed "signed artifact, after the lock was let go"

# A vorna that trusts no strong key refuses every stream: the module reads
# none, the client stores the payload in the module's folder (here one with room
# for it), and ArtifactInstall checks and installs the stored image; a refused
# image fails the deployment with the board unchanged. "stream = no" takes that
# path with a vorna that could stream. On a new board, so that an install shows.
make_board
save_board
mkdir "$work/data-stored"
echo "device_type=Vorna_V2-2.1-5545" >"$work/data-stored/device_type"
export VORNA_OTA_CONF="$work/ota-stored.conf"
while read -r program setting artifact expected line; do
    case "$program" in legacy) program=$legacy_vorna ;; strong) program=$vorna ;; esac
    case "$setting" in no) setting="stream = no" ;; -) setting="" ;; esac
    printf 'device = %s\nbase = 0x10000\nvorna = %s\n%s\n' "$work/board/table.img" "$program" "$setting" >"$VORNA_OTA_CONF"
    cp "$work/saved/nor.img" "$work/board/nor.img"
    cp "$work/saved/emmc.img" "$work/board/emmc.img"
    status=0
    mender -c "$work/mender.conf" -d "$work/data-stored" --no-syslog install "$work/$artifact" >"$work/log" 2>&1 || status=$?
    [ "$status" -eq "$expected" ] || fail "stored $artifact ($setting): status $status, $(cat "$work/log")"
    grep -q "$line" "$work/log" || fail "stored $artifact ($setting): no '$line' in the log: $(cat "$work/log")"
    if [ "$expected" -eq 0 ]; then
        grep -q 'vorna: checking the image against' "$work/log" || fail "stored $artifact: not checked first: $(cat "$work/log")"
        board_installed "stored $artifact ($setting)"
    else
        board_unchanged "stored $artifact"
    fi
done <<'CASES'
legacy - fw.mender 0 vorna: vorna trusts no strong key: the image is stored
legacy - other.mender 1 vorna -c ended with status 251: the image is not for this device
legacy - wrong-block.mender 1 vorna -c ended with status 252: the image signature does not verify
strong no fw.mender 0 vorna: stream = no in .*: the image is stored
CASES
export VORNA_OTA_CONF="$work/ota.conf"

[ -n "${VORNA_ENGINE_LOG:-}" ] && cat "$work/log.install" >"$VORNA_ENGINE_LOG"
echo "mender: signed artifact installed, other product and unsigned artifact refused, the lock waited for, stored payloads installed"
