#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Checks what `vorna-image info --json` and `verify --json` print against the
# documented schema, for images in every state a pipeline meets: unsigned, dual-
# signed, strong-only, with a malformed block, with the table outside the file,
# with a document vorna does not read, without a chunk index, with a stale one.
# Usage: info_schema_check.py VORNA_IMAGE SCHEMA DEV_KEY.pem DEV_KEY_BLOB.txt STRONG_KEY_DIR
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("SKIP: python3-jsonschema is not installed (apt-get install python3-jsonschema)")
    sys.exit(77)

tool, schema_path, dev_key, dev_blob, strong = sys.argv[1:6]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
failures = []


def run(*args):
    return subprocess.run([tool, *args], capture_output=True, text=True)


def document(expect_status, *args):
    r = run(*args)
    if r.returncode != expect_status:
        failures.append(f"{args}: status {r.returncode}, expected {expect_status}: {r.stderr}")
    try:
        doc = json.loads(r.stdout)
    except json.JSONDecodeError as e:
        failures.append(f"{args}: not JSON ({e}): {r.stdout!r}")
        return {}
    return doc


def check(doc, what, schema_validator=validator):
    for error in schema_validator.iter_errors(doc):
        failures.append(f"{what}: {error.json_path}: {error.message}")


def expect(what, got, want):
    if got != want:
        failures.append(f"{what}: {got!r}, expected {want!r}")


with tempfile.TemporaryDirectory() as d:
    with open(os.path.join(d, "boot.bin"), "wb") as f:
        f.write(os.urandom(5000))
    manifest = os.path.join(d, "m.json")
    with open(manifest, "w", encoding="utf-8") as f:
        json.dump({"partitions": [{"name": "bootloader", "size": "0x2000", "file": "boot.bin"}],
                   "support-list": {"support-list": [{"product_name": "P", "product_version": "1",
                                                      "special_id": "2"}]},
                   "firmware-info": {"version": "1"}}, f)
    key_a, key_b = os.path.join(strong, "key_a.pem"), os.path.join(strong, "key_b.pem")
    pub_a, pub_b = os.path.join(strong, "key_a.pub.pem"), os.path.join(strong, "key_b.pub.pem")
    legacy, dual, only = (os.path.join(d, n) for n in ("legacy.bin", "dual.bin", "only.bin"))
    for args in (("pack", manifest, dev_key, legacy), ("pack", manifest, dev_key, dual, "--key", key_a, "--key", key_b),
                 ("pack", "--no-legacy", manifest, only, "--key", key_a)):
        r = run(*args)
        if r.returncode != 0:
            sys.exit(f"cannot pack: {args}: {r.stderr}")

    doc = document(0, "info", "--json", legacy)
    check(doc, "unsigned, no keys")
    expect("legacy only: block", doc.get("signature_block"), {"status": "missing", "count": 0})
    expect("legacy only: an unsigned index", (doc.get("index", {}).get("status"),
                                              doc.get("index", {}).get("signature_block")),
           ("ok", {"status": "missing", "count": 0}))

    doc = document(0, "info", "--json", dual, dev_blob, "--key", pub_a, "--key", pub_b)
    check(doc, "dual-signed, all keys")
    expect("dual: kinds", [(s["kind"], s["status"]) for s in doc.get("signatures", [])],
           [("legacy", "verifies"), ("strong", "verifies"), ("strong", "verifies")])
    expect("dual: the index", [doc.get("index", {}).get(k) for k in ("stream_order", "stale_blocks")], ["ok", 0])
    expect("dual: index signatures", [s["status"] for s in doc.get("index", {}).get("signatures", [])],
           ["verifies", "verifies"])

    doc = document(1, "info", "--json", only, dev_blob, "--key", pub_b)
    check(doc, "strong-only, the wrong keys")
    expect("strong-only: legacy", doc["signatures"][0]["present"], False)
    expect("strong-only: key B signed nothing", len(doc.get("keys_without_signature", [])), 1)
    expect("strong-only: entry A not checked", doc["signatures"][1]["status"], "not checked")

    doc = document(0, "verify", "--json", dual, "--key", pub_a)
    verify_schema = {"$schema": schema["$schema"], "type": "object",
                     "required": ["signatures", "signature_block", "keys_without_signature", "all_verify"],
                     "properties": {k: schema["properties"][k]
                                    for k in ("signatures", "signature_block", "keys_without_signature", "index")} |
                     {"all_verify": {"type": "boolean"}}, "$defs": schema["$defs"], "additionalProperties": False}
    check(doc, "verify --json", jsonschema.Draft202012Validator(verify_schema))
    expect("verify: all_verify", doc.get("all_verify"), True)

    # A firmware-info document larger than vorna reads: not readable, the entry and why.
    with open(os.path.join(d, "big.json"), "w", encoding="utf-8") as f:
        f.write(" " * (2 << 20))
    with open(manifest, encoding="utf-8") as f:
        big_manifest = json.load(f) | {"firmware-info": "big.json"}
    with open(os.path.join(d, "big-m.json"), "w", encoding="utf-8") as f:
        json.dump(big_manifest, f)
    big = os.path.join(d, "big.bin")
    if run("pack", os.path.join(d, "big-m.json"), dev_key, big).returncode != 0:
        sys.exit("cannot pack the image with a 2 MiB firmware-info")
    doc = document(0, "info", "--json", big)
    check(doc, "2 MiB firmware-info")
    expect("2 MiB firmware-info", doc.get("firmware_info"),
           {"present": True, "readable": False, "entry": 2, "reason": "too_big"})

    # Without an index; and an index whose digests no longer match the contents.
    bare = os.path.join(d, "bare.bin")
    if run("pack", "--no-index", manifest, dev_key, bare).returncode != 0:
        sys.exit("cannot pack without an index")
    doc = document(0, "info", "--json", bare)
    check(doc, "no index")
    expect("no index", doc.get("index"), {"present": False, "status": "missing", "reason": "no index"})
    with open(only, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last[0] ^ 1]))
    doc = document(1, "info", "--json", only)
    check(doc, "stale index")
    expect("stale index", doc.get("index", {}).get("stale_blocks"), 1)

    # A malformed block (version 2) and a table past the end of the file.
    with open(dual, "r+b") as f:
        f.seek(436)
        f.write(b"\x02")
    doc = document(1, "info", "--json", dual)
    check(doc, "malformed block")
    expect("malformed: status", doc.get("signature_block", {}).get("status"), "malformed")
    with open(legacy, "r+b") as f:
        f.seek(8)
        f.write((0x7FFFFFF0).to_bytes(4, "big"))
    doc = document(1, "info", "--json", legacy)
    check(doc, "table outside the file")
    expect("outside: entries", doc.get("entries", 0), None)

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
