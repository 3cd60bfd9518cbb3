# SPDX-License-Identifier: Apache-2.0
# Sourced by the engine tests: the checks before a test may run, its private
# /tmp, and a small simulated board with vorna images for it, made with
# vorna-image and the development key in the folder $work.
# Needs: $vorna_image, $keys (the development key folder), $src (the source tree).

# need PACKAGES TOOL...: skips the test unless it runs as root, may make a
# private mount namespace, and has every TOOL (from the Debian PACKAGES).
need() {
    packages=$1
    shift
    [ "$(id -u)" -eq 0 ] || skip "needs root, for a private mount namespace over the engine's system paths"
    for tool in "$@" unshare; do
        command -v "$tool" >/dev/null || skip "$tool is missing (apt-get install $packages)"
    done
    unshare --mount --propagation private true 2>/dev/null || skip "unshare --mount is refused here"
}

# In the test's private mount namespace: its own folder over /tmp, so that the
# engine's scratch files and sockets stay in it (vorna's upgrade lock is the one
# of the tests' build folder). Sets $work.
# The programs and the source tree may themselves live under /tmp (a fresh clone
# often does): their top folders there are mounted into the private /tmp too.
private_tmp() {
    outer=$(mktemp -d)
    tops=""
    for path in "$vorna" "$vorna_image" "$src"; do
        case "$path" in
            /tmp/*/*) top=${path#/tmp/}; top=${top%%/*} ;;
            *) continue ;;
        esac
        [ -d "$outer/$top" ] && continue
        mkdir "$outer/$top"
        mount --bind "/tmp/$top" "$outer/$top"
        tops="$tops $top"
    done
    trap private_tmp_cleanup EXIT
    mount --rbind "$outer" /tmp
    work=/tmp
    export TMPDIR=/tmp
}

# Removes the private /tmp's folder, never what is mounted into it: a folder still
# mounted there (so that removing it would reach the real one) leaves it all.
private_tmp_cleanup() {
    cd /
    umount -R /tmp 2>/dev/null || true
    for top in $tops; do
        umount "$outer/$top" 2>/dev/null || true
        if mountpoint -q "$outer/$top" 2>/dev/null; then
            echo "left $outer in place: $outer/$top is still mounted" >&2
            return 0
        fi
    done
    rm -rf "$outer"
}

# private_state LOCK: a folder of the test's own over the tests' state folder
# (beside the upgrade lock LOCK, tests/CMakeLists.txt), in the private mount
# namespace, so that the records and floors the engines' upgrades leave there
# reach no other test. Sets $state.
private_state() {
    state=$(dirname "$1")/state
    mkdir -p "$state"
    mount -t tmpfs -o mode=0700,size=1m tmpfs "$state"
}

# raise_floor N: the device's kept floor for firmware versions is N.
raise_floor() {
    printf '%s\n' "$1" >"$state/security-floor"
}

# The board: NOR (1 MiB) with a boot loader and the device identity, eMMC (4 MiB)
# with a kernel. Its files are $work/board/{table,nor,emmc}.img.
make_board() {
    cat >"$work/device-info.json" <<'JSON'
{ "vendor_name": "Halden Works", "vendor_url": "https://halden.example", "product_name": "Vorna V2",
  "product_version": "2.1", "product_id": "00112233", "special_id": "5545", "language": "en",
  "region": "EU", "hw_id": "HW-0042-A", "oem_id": "OEM-7" }
JSON
    cat >"$work/board.json" <<'JSON'
{
  "table-device": "table.img", "table-base": "0x10000",
  "partition-table": {
    "partition-layout-nor": { "disk-size": "0x100000", "device": "nor.img", "partitions": [
      { "name": "bootloader", "base": "0x0", "size": "0x80000",
        "write_to_flash": true, "write_to_up": true, "encap_type": "raw" },
      { "name": "device-info", "base": "0xf0000", "size": "0x10000",
        "write_to_flash": false, "write_to_up": false, "encap_type": "header" } ] },
    "partition-layout-emmc": { "disk-size": "0x400000", "device": "emmc.img", "partitions": [
      { "name": "kernel", "base": "0x100000", "size": "0x200000",
        "write_to_flash": true, "write_to_up": true, "encap_type": "raw" } ] }
  },
  "contents": [ { "partition": "device-info", "file": "device-info.json", "header": true } ]
}
JSON
    "$vorna_image" board "$work/board.json" "$work/board" >/dev/null
}

# make_image OUT PRODUCT: an image of a new boot loader and kernel for PRODUCT
# ("Vorna V2" is this board's product), signed with the development key and the
# strong test key A, which the tests' vorna trusts: a stream needs a strong key.
make_image() {
    [ -f "$work/bootloader.bin" ] || head -c 300000 /dev/urandom >"$work/bootloader.bin"
    [ -f "$work/kernel.bin" ] || head -c 1500000 /dev/urandom >"$work/kernel.bin"
    cat >"$work/image.json" <<JSON
{
  "partitions": [
    { "name": "bootloader", "base": "0x0", "size": "0x80000", "type": "nor", "file": "bootloader.bin" },
    { "name": "kernel", "base": "0x100000", "size": "0x200000", "type": "emmc", "file": "kernel.bin" }
  ],
  "support-list": { "support-list": [ { "product_name": "$2", "product_version": "2.1", "special_id": "5545" } ] }
}
JSON
    "$vorna_image" pack "$work/image.json" "$keys/dev_private_key.pem" "$1" \
        --key "$src/tests/data/strong/key_a.pem" >/dev/null
}

# corrupt_kernel IN OUT: IN with one byte of the kernel's contents changed, in
# its last 64 KiB block, so that the boot loader and most of the kernel verify.
corrupt_kernel() {
    perl -e 'my ($in, $kernel, $out) = @ARGV; local $/;
             open(my $f, "<:raw", $in) or die "$in: $!"; my $d = <$f>;
             open(my $k, "<:raw", $kernel) or die "$kernel: $!"; my $kb = <$k>;
             my $at = index($d, substr($kb, length($kb) - 4096, 64));
             $at >= 0 or die "the kernel is not in $in";
             substr($d, $at, 1) = chr(ord(substr($d, $at, 1)) ^ 1);
             open(my $o, ">:raw", $out) or die "$out: $!"; print $o $d' "$1" "$work/kernel.bin" "$2"
}

# Saves the board's devices, to show later that they are unchanged.
save_board() {
    rm -rf "$work/saved"
    cp -a "$work/board" "$work/saved"
}

# Fails unless the devices are as saved.
board_unchanged() {
    for f in table nor emmc; do
        cmp -s "$work/saved/$f.img" "$work/board/$f.img" || fail "$1: $f.img changed"
    done
}

# The saved board with the new boot loader and kernel: $work/expected-{nor,emmc}.img.
board_installed_expected() {
    for dev in nor emmc; do
        cp "$work/saved/$dev.img" "$work/expected-$dev.img"
    done
    dd if="$work/bootloader.bin" of="$work/expected-nor.img" conv=notrunc status=none
    dd if="$work/kernel.bin" of="$work/expected-emmc.img" bs=1048576 seek=1 conv=notrunc status=none
}

# Fails unless the board holds the new boot loader and kernel, and is otherwise as saved.
board_installed() {
    cmp -s "$work/saved/table.img" "$work/board/table.img" || fail "$1: table.img changed"
    board_installed_expected
    cmp -s "$work/expected-nor.img" "$work/board/nor.img" || fail "$1: nor.img is not the image's, byte for byte"
    cmp -s "$work/expected-emmc.img" "$work/board/emmc.img" || fail "$1: emmc.img is not the image's, byte for byte"
}

# Fails unless every 64 KiB block of both devices holds its saved bytes or the
# new image's (what board_installed expects): a stopped stream may leave the
# board half-written, but never with a byte that was not verified.
board_old_or_new() {
    cmp -s "$work/saved/table.img" "$work/board/table.img" || fail "$1: table.img changed"
    board_installed_expected
    for dev in nor emmc; do
        perl -e 'my ($old, $new, $now) = @ARGV; my @f;
                 for my $p ($old, $new, $now) { open(my $h, "<:raw", $p) or die "$p: $!"; push @f, $h }
                 for (my $at = 0; ; $at += 65536) {
                     my @b = map { my $x = ""; read($_, $x, 65536); $x } @f;
                     last if $b[2] eq "";
                     $b[2] eq $b[0] or $b[2] eq $b[1] or die sprintf("block at 0x%x is neither old nor new\n", $at);
                 }' "$work/saved/$dev.img" "$work/expected-$dev.img" "$work/board/$dev.img" ||
            fail "$1: $dev.img"
    done
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit 77
}
