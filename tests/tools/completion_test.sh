#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The bash completions of completion/: sourced in bash, each function called on
# command lines, the words it offers compared; and every option and command they
# offer is one the programs take (vorna accepts it, vorna-image's help names it).
# Usage: completion_test.sh VORNA VORNA_IMAGE SOURCE_DIR
set -u
vorna=$1 vorna_image=$2 src=$3
. "$src/completion/vorna"
. "$src/completion/vorna-image"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/firmware.bin" "$work/fw-other.bin"
mkdir "$work/fw-dir"
failed=0

# offers FUNCTION "WORDS" EXPECTED: the completion of the last word of WORDS (a
# trailing space completes an empty word) is EXPECTED, sorted, one line.
offers() {
    local function=$1 line=$2 expected=$3 got
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" != "$expected" ]; then
        echo "FAIL: '$line': '$got', not '$expected'"
        failed=1
    fi
}

offers _vorna "vorna --pro" "--program-version --progress"
offers _vorna "vorna -u --m" "--minimize-writes"
offers _vorna "vorna -c -f $work/fi" "$work/firmware.bin"
offers _vorna "vorna -s -d $work/fw" "$work/fw-dir $work/fw-other.bin"
offers _vorna "vorna -r -n " ""
offers _vorna_image "vorna-image " "--version attach board digest help info keygen pack sign verify"
offers _vorna_image "vorna-image p" "pack"
offers _vorna_image "vorna-image help v" "verify"
offers _vorna_image "vorna-image pack --" "--board --key --no-index --no-legacy --passin"
offers _vorna_image "vorna-image info --j" "--json"
offers _vorna_image "vorna-image sign $work/firmware.bin k.pem --passin " "env: fd: file: pass:"
offers _vorna_image "vorna-image digest $work/firmware.bin --out $work/fw" "$work/fw-dir"
offers _vorna_image "vorna-image info $work/fi" "$work/firmware.bin"

# Every vorna option offered is one vorna takes: with -h, any option it does not
# take ends in the usage text and status 255.
COMP_WORDS=(vorna -) COMP_CWORD=1
_vorna
for option in "${COMPREPLY[@]}"; do
    case $option in -b | -d | -f | -n | -o | -i | --ptn-base | --device | --firmware | --ptn-name | --out-file | --in-file) arg=x ;; *) arg= ;; esac
    "$vorna" -h "$option" ${arg:+"$arg"} >/dev/null 2>&1 || { echo "FAIL: vorna does not take $option"; failed=1; }
done
# Every command offered has its help, which names every option offered for it.
COMP_WORDS=(vorna-image '') COMP_CWORD=1
_vorna_image
for command in "${COMPREPLY[@]}"; do
    case $command in --version | help) continue ;; esac
    help=$("$vorna_image" help "$command" 2>&1) || { echo "FAIL: vorna-image help $command"; failed=1; continue; }
    COMP_WORDS=(vorna-image "$command" -) COMP_CWORD=2
    _vorna_image
    for option in "${COMPREPLY[@]}"; do
        grep -q -- "$option" <<<"$help" || { echo "FAIL: vorna-image help $command does not name $option"; failed=1; }
    done
done
[ "$failed" -eq 0 ] && echo "bash completion: vorna and vorna-image offer what they take"
exit "$failed"
