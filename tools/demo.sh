#!/bin/sh
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
