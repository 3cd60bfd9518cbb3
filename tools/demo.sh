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
