#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Signing with keys in a SoftHSM 2 token, checked by vorna -c on a simulated
# board. The legacy RSA key signs through OpenSSL's pkcs11 engine (pack and sign
# take its pkcs11: URI); the Ed25519 key signs with the token's own tool
# (pkcs11-tool) through digest and attach, since Debian 12's engine cannot reach
# EdDSA keys. The tokens live in a temporary folder, never the system's.
# The test keys are imported once so that the test builds of vorna trust them;
# every signature is then made inside the token.
# Usage: pkcs11_token_test.sh VORNA_IMAGE VORNA VORNA_STRONG_A SOURCE_DIR
set -eu
tool=$1 vorna=$2 vorna_a=$3 src=$4
module=/usr/lib/softhsm/libsofthsm2.so
for t in softhsm2-util pkcs11-tool openssl; do
  command -v "$t" >/dev/null || { echo "SKIP: $t is missing (apt-get install softhsm2 opensc)"; exit 77; }
done
[ -f "$module" ] || { echo "SKIP: no SoftHSM 2 module at $module"; exit 77; }
openssl engine pkcs11 >/dev/null 2>&1 || { echo "SKIP: no pkcs11 engine (apt-get install libengine-pkcs11-openssl)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >softhsm2.conf
export SOFTHSM2_CONF="$work/softhsm2.conf" VORNA_IMAGE_PKCS11_MODULE="$module"
printf 1234 >pin.txt
p11() { pkcs11-tool --module "$module" --login --pin 1234 "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

softhsm2-util --init-token --free --label vorna-rsa --pin 1234 --so-pin 5678 >/dev/null
softhsm2-util --init-token --free --label vorna-ed25519 --pin 1234 --so-pin 5678 >/dev/null
openssl pkey -in "$src/keys/dev_private_key.pem" -out dev.p8.pem
softhsm2-util --import dev.p8.pem --token vorna-rsa --label legacy --id 01 --pin 1234 >/dev/null
softhsm2-util --import "$src/tests/data/strong/key_a.pem" --token vorna-ed25519 --label strong --id 02 --pin 1234 >/dev/null
legacy_uri='pkcs11:token=vorna-rsa;object=legacy;type=private'
id_a=$(openssl pkey -pubin -in "$src/tests/data/strong/key_a.pub.pem" -outform DER | tail -c 32 |
       openssl dgst -sha256 -binary | head -c 8 | od -An -tx1 | tr -d ' \n')

"$tool" board "$src/tools/demo/board.json" board >/dev/null
cp "$src/tools/demo/firmware.json" .
for f in bootloader radio kernel rootfs; do head -c 3000 /dev/urandom >$f.bin; done
check() { # BIN IMAGE STATUS
  status=0
  "$1" -c -b 0x10000 -d board/table.img -f "$2" >out.txt || status=$?
  [ "$status" = "$3" ] || { cat out.txt; fail "$1 -c $2 ended with $status, not $3"; }
}

# The legacy key through the engine: the PIN from the environment, then from the URI.
VORNA_IMAGE_PKCS11_PIN=1234 "$tool" pack firmware.json "$legacy_uri" engine.bin >/dev/null
check "$vorna" engine.bin 0
"$tool" sign engine.bin "$legacy_uri?pin-source=file:$work/pin.txt" >/dev/null
check "$vorna" engine.bin 0
# A wrong PIN is refused and the PIN never shows in the message.
if "$tool" pack firmware.json "$legacy_uri;pin-value=9999" bad.bin 2>err.txt; then fail "a wrong PIN signed"; fi
grep -q 'no private key in the token' err.txt || fail "wrong PIN: $(cat err.txt)"
! grep -q 9999 err.txt || fail "the PIN is printed: $(cat err.txt)"
# The engine cannot reach the Ed25519 key: refused with the way round it.
if VORNA_IMAGE_PKCS11_PIN=1234 "$tool" pack firmware.json "$legacy_uri" ed.bin \
     --key 'pkcs11:token=vorna-ed25519;object=strong;type=private' 2>err.txt; then
  echo "note: the engine signed with the Ed25519 key in the token"
else
  grep -q 'digest and attach' err.txt || fail "Ed25519 through the engine: $(cat err.txt)"
fi

# The PIN never reaches an output, whatever the URI holds. Each case is refused
# (PIN|what the refusal says|legacy key|--key): a token RSA key named as the
# strong key; a PIN given twice, in the query or in the path too; a ';' in a
# PIN that is not written %3B; a key that is not there (the engine's own report).
softhsm2-util --init-token --free --label vorna-semi --pin '5;678' --so-pin 5678 >/dev/null
softhsm2-util --import dev.p8.pem --token vorna-semi --label legacy --id 01 --pin '5;678' >/dev/null
semi_uri='pkcs11:token=vorna-semi;object=legacy;type=private'
no_pin() { # PIN EXPECTED LEGACY [STRONG]
  if "$tool" pack firmware.json "$3" nopin.bin ${4:+--key "$4"} </dev/null >out.txt 2>&1; then fail "signed with $3 $4"; fi
  grep -qF "$2" out.txt || fail "$3 $4: $(cat out.txt)"
  ! grep -qF "$1" out.txt || fail "the PIN $1 shows: $(cat out.txt)"
}
while IFS='|' read -r pin expected legacy strong; do
  no_pin "$pin" "$expected" "$legacy" "$strong"
done <<CASES
1234|is not an Ed25519 private key|$src/keys/dev_private_key.pem|$legacy_uri?pin-value=1234
1234|names its PIN more than once|$legacy_uri?pin-value=0000&pin-value=1234|
1234|names its PIN more than once|pkcs11:token=vorna-rsa;pin-value=0000;object=legacy?pin-value=1234|
1234|names its PIN more than once|$legacy_uri?pin-value=1234&pin-source=file:$work/pin.txt|
678|write a ';' in a PIN as %3B|$semi_uri?pin-value=5;678|
678|is not a valid token URI|$semi_uri;pin-value=5;678|
1234|no private key in the token|pkcs11:token=vorna-rsa;object=missing?pin-value=1234|
CASES
# Written %3B, the same PIN signs.
"$tool" pack firmware.json "$semi_uri?pin-value=5%3B678" semi.bin >/dev/null
check "$vorna" semi.bin 0
# With /tmp read-only the engine's report is still held back and masked.
if unshare -m true 2>/dev/null; then
  # Only /tmp itself turns read-only: the work folder stays writable on top of it.
  ro_tmp='mount --bind /tmp /tmp && mount --bind "$0" "$0" && mount -o remount,bind,ro /tmp &&
          ! touch /tmp/w 2>/dev/null && exec "$@"'
  if unshare -m sh -c "$ro_tmp" "$work" "$tool" pack firmware.json \
       "pkcs11:token=vorna-rsa;object=missing?pin-value=1234" ro.bin >out.txt 2>&1; then fail "signed with no key"; fi
  grep -qF 'no private key in the token' out.txt || fail "read-only /tmp: $(cat out.txt)"
  ! grep -qF 1234 out.txt || fail "read-only /tmp: the PIN shows: $(cat out.txt)"
else
  echo "note: no mount namespace here; the read-only /tmp case is not run"
fi
# A PIN file is read as a pass-phrase file is: a FIFO without a writer is refused
# at once instead of waiting (timeout only ends the hang of a tool that waits).
mkfifo pin.fifo
status=0
timeout 60 "$tool" pack firmware.json "$legacy_uri?pin-source=file:$work/pin.fifo" fifo.bin >out.txt 2>&1 || status=$?
[ "$status" = 1 ] && grep -qF 'is not a regular file' out.txt || fail "FIFO PIN file: status $status: $(cat out.txt)"

# Both keys with the token's own tool, in steps: the chunk index's signature, the
# strong signature over the image that carries it, then the legacy one.
VORNA_IMAGE_PKCS11_PIN=1234 "$tool" pack firmware.json "$legacy_uri" two.bin >/dev/null
"$tool" digest two.bin --out . >/dev/null
p11 --token-label vorna-ed25519 --sign -m EDDSA --id 02 -i index.bin -o index.sig 2>/dev/null
"$tool" attach two.bin --index "$id_a:index.sig" --key "$src/tests/data/strong/key_a.pub.pem" >/dev/null
"$tool" digest two.bin --out . >/dev/null
p11 --token-label vorna-ed25519 --sign -m EDDSA --id 02 -i strong.bin -o strong.sig 2>/dev/null
"$tool" attach two.bin --strong "$id_a:strong.sig" --key "$src/tests/data/strong/key_a.pub.pem" >/dev/null
check "$vorna_a" two.bin 252
"$tool" digest two.bin --out . >/dev/null
p11 --token-label vorna-rsa --sign -m SHA1-RSA-PKCS --id 01 -i legacy-message.bin -o legacy.sig 2>/dev/null
"$tool" attach two.bin --legacy legacy.sig --key "$src/keys/dev_public_key.txt" >/dev/null
check "$vorna" two.bin 0
check "$vorna_a" two.bin 0
grep -q "strong signature check pass, key $id_a" out.txt || fail "no strong pass line: $(cat out.txt)"
# The same legacy input through a raw PKCS#1 v1.5 signer (a signing service's form).
p11 --token-label vorna-rsa --sign -m RSA-PKCS --id 01 -i legacy-digest-info.bin -o raw.sig 2>/dev/null
cmp raw.sig legacy.sig || fail "RSA-PKCS over the DigestInfo differs from SHA1-RSA-PKCS"
"$tool" verify two.bin --key "$src/keys/dev_public_key.txt" --key "$src/tests/data/strong/key_a.pub.pem" >/dev/null
echo "token signing: pass"
