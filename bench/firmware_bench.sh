#!/bin/sh
# Times the firmware operations against the plain tools that do the same amount of
# work: `vorna -c` on a 256 MiB image against `openssl md5` of the same file, and
# an upgrade whose 16 MiB NOR partition is already on the board against `cmp` of
# the same bytes. Each figure is the best of ROUNDS runs, the two sides alternating.
# Usage: sh bench/firmware_bench.sh BUILD [ROUNDS]   (BUILD: a CMake build folder)
set -eu

build=${1:?usage: firmware_bench.sh BUILD [ROUNDS]}
rounds=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
keys=$(cd "$here/.." && pwd)/keys
vorna="$build/vorna/vorna"
image_tool="$build/tools/vorna-image"
work=$(mktemp -d "${TMPDIR:-/tmp}/vorna-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

now_ns() { date +%s%N; }

# best_of NAME COMMAND...: runs the command, prints nothing, records the best time (ns).
best_of() {
    name=$1
    shift
    start=$(now_ns)
    "$@" >/dev/null 2>&1
    elapsed=$(($(now_ns) - start))
    eval "prev=\${best_$name:-}"
    if [ -z "$prev" ] || [ "$elapsed" -lt "$prev" ]; then
        eval "best_$name=$elapsed"
    fi
}

ms() { echo "$1" | awk '{ printf "%.1f ms", $1 / 1e6 }'; }
ratio() { echo "$1 $2" | awk '{ printf "%.3f", $1 / $2 }'; }

cat >"$work/board.json" <<'EOF'
{
    "partition-table": {
        "partition-layout-nor": {
            "disk-size": "0x1100000", "device": "nor.img",
            "partitions": [
                { "name": "firmware", "base": "0x0", "size": "0x1000000",
                  "write_to_flash": true, "write_to_up": true, "encap_type": "raw" },
                { "name": "device-info", "base": "0x1000000", "size": "0x10000",
                  "write_to_flash": false, "write_to_up": false, "encap_type": "header" }
            ]
        },
        "partition-layout-emmc": {
            "disk-size": "0x20000000", "device": "emmc.img",
            "partitions": [
                { "name": "rootfs", "base": "0x0", "size": "0x10000000",
                  "write_to_flash": true, "write_to_up": true, "encap_type": "raw" }
            ]
        }
    },
    "contents": [
        { "partition": "device-info", "header": true,
          "json": { "vendor_name": "v", "vendor_url": "u", "product_name": "Bench", "product_version": "1",
                    "product_id": "1", "special_id": "1", "language": "en", "region": "EU",
                    "hw_id": "h", "oem_id": "o" } }
    ]
}
EOF
support='"support-list": { "support-list": [ { "product_name": "Bench", "product_version": "1", "special_id": "1" } ] }'
# About 256 MiB in all with the header, the table and the support list.
rootfs_len=$((256 * 1024 * 1024 - 8192))
cat >"$work/check.json" <<EOF
{ "partitions": [ { "name": "rootfs", "base": "0x0", "size": "0x10000000", "type": "emmc", "file": "rootfs.bin" } ],
  $support }
EOF
cat >"$work/nor.json" <<EOF
{ "partitions": [ { "name": "firmware", "base": "0x0", "size": "0x1000000", "type": "nor", "file": "nor.bin" } ],
  $support }
EOF

echo "preparing in $work"
"$image_tool" board "$work/board.json" "$work/board" >/dev/null
head -c "$rootfs_len" /dev/urandom >"$work/rootfs.bin"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/nor.bin"
"$image_tool" pack "$work/check.json" "$keys/dev_private_key.pem" "$work/check.bin"
"$image_tool" pack "$work/nor.json" "$keys/dev_private_key.pem" "$work/nor-image.bin"
check_args="-b 0x10000 -d $work/board/table.img"
# The first upgrade puts the NOR partition on the board; the timed ones find it there.
"$vorna" -u $check_args -f "$work/nor-image.bin" >/dev/null
"$vorna" -c $check_args -f "$work/check.bin" >/dev/null
# Warm the page cache for both sides alike.
cat "$work/check.bin" "$work/nor-image.bin" "$work/board/nor.img" >/dev/null

i=0
while [ "$i" -lt "$rounds" ]; do
    best_of check "$vorna" -c $check_args -f "$work/check.bin"
    best_of md5 openssl md5 "$work/check.bin"
    best_of upgrade "$vorna" -u $check_args -f "$work/nor-image.bin"
    best_of cmp cmp -n $((16 * 1024 * 1024)) "$work/nor.bin" "$work/board/nor.img"
    i=$((i + 1))
done

echo "vorna -c, $(wc -c <"$work/check.bin")-byte image: $(ms "$best_check")"
echo "openssl md5, same file:          $(ms "$best_md5")"
echo "  ratio $(ratio "$best_check" "$best_md5") (target: at most 1.15)"
echo "vorna -u, unchanged 16 MiB NOR partition: $(ms "$best_upgrade")"
echo "cmp of the same 16 MiB:                   $(ms "$best_cmp")"
echo "  ratio $(ratio "$best_upgrade" "$best_cmp")"
