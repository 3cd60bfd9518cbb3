#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a document's worked examples as they stand: every ```sh block whose first
# line is "# example: NAME", each in a fresh folder holding image.bin (the demo
# manifest packed with the development key), legacy.pem and legacy.txt (the
# development key and its blob) and strong.pem and strong.pub.pem (test key A).
# An example that needs a tool this machine lacks is skipped, saying which.
# Usage: readme_examples_test.sh DOCUMENT.md BUILD_DIR SOURCE_DIR
set -eu
readme=$1 build=$2 src=$3
export PATH="$build/tools:$build/vorna:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v dir="$work" '
  /^```sh$/ { pending = 1; next }
  pending && /^# example: / { n++; file = sprintf("%s/example%02d.sh", dir, n); pending = 0 }
  pending { pending = 0 }
  /^```$/ && file != "" { close(file); file = ""; next }
  file != "" { print > file }
' "$readme"

ran=0 skipped=0
for script in "$work"/example*.sh; do
  [ -f "$script" ] || { echo "FAIL: no example found in $readme"; exit 1; }
  name=$(sed -n '1s/^# example: //p' "$script")
  missing=""
  for t in openssl softhsm2-util pkcs11-tool; do
    if grep -q "$t" "$script" && ! command -v "$t" >/dev/null; then missing="$missing $t"; fi
  done
  if [ -n "$missing" ]; then
    echo "skipped: $name (missing:$missing)"
    skipped=$((skipped + 1))
    continue
  fi
  dir="$work/run-${script##*/}"
  mkdir "$dir"
  cp "$src/tools/demo/firmware.json" "$dir/"
  for f in bootloader radio kernel rootfs; do head -c 4000 /dev/urandom >"$dir/$f.bin"; done
  cp "$src/keys/dev_private_key.pem" "$dir/legacy.pem"
  cp "$src/keys/dev_public_key.txt" "$dir/legacy.txt"
  cp "$src/tests/data/strong/key_a.pem" "$dir/strong.pem"
  cp "$src/tests/data/strong/key_a.pub.pem" "$dir/strong.pub.pem"
  (cd "$dir" && vorna-image pack firmware.json legacy.pem image.bin >/dev/null)
  if ! (cd "$dir" && sh -eu "$script" >"$dir/log" 2>&1); then
    echo "FAIL: example \"$name\":"
    cat "$dir/log"
    exit 1
  fi
  echo "ran: $name"
  ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || { echo "SKIP: no example could run here"; exit 77; }
