#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Encrypts the sample configuration with cfgcrypt, decrypts it again and shows
# that the round trip gives back the same bytes.
# Usage: demo_cfgcrypt.sh BUILD_DIR
set -eu

build=${1:?usage: demo_cfgcrypt.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
cfgcrypt="$build/cfgcrypt/cfgcrypt"
work="$build/demo"
mkdir -p "$work"

cp "$here/demo/sample.cfg" "$work/user settings.cfg"

echo "== cfgcrypt: encrypt $work/user settings.cfg"
echo "(openssl's warning about its deprecated key derivation comes with the file format; see cfgcrypt(1))"
"$cfgcrypt" --encrypt --in "$work/user settings.cfg" --out "$work/user settings.enc"
head -c 8 "$work/user settings.enc"; echo "  ($(wc -c < "$work/user settings.enc") bytes)"

echo "== cfgcrypt: decrypt it again"
"$cfgcrypt" -d -i "$work/user settings.enc" -o "$work/user settings.dec"

if cmp "$work/user settings.cfg" "$work/user settings.dec"; then
    echo "round trip exact: $(wc -c < "$work/user settings.dec") bytes"
else
    echo "round trip differs" >&2
    exit 1
fi

echo "== cfgcrypt: a missing direction is refused (on purpose: the error line below is expected)"
status=0
"$cfgcrypt" -i "$work/user settings.enc" -o "$work/unused" || status=$?
echo "exit status $status"
[ "$status" -eq 255 ]
echo "refused with status 255, as it should be"
