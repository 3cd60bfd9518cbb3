#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
#
# SWUpdate "shellscript" handler of a vorna .swu: SWUpdate calls it with
# "preinst" before the images are installed and with "postinst" after; the
# image has then been put at IMAGE by the "rawfile" handler. postinst runs
# `vorna -c`, then `vorna -u --progress`, on the table device and base named in
# /etc/vorna/ota.conf (VORNA_OTA_CONF names another file; the keys are those of
# the Mender module: device, base, vorna). SWUpdate logs standard output as
# information and standard error as errors, so vorna's information lines and
# progress go to standard output and only its failures to standard error. A
# non-zero status fails the update; while another upgrade holds vorna's lock,
# the script tries again every 5 s for a minute. The image is removed in either
# case.
set -u

image='@IMAGE_PATH@'
conf=${VORNA_OTA_CONF:-/etc/vorna/ota.conf}

err() {
    printf 'vorna-install: %s\n' "$*" >&2
}

read_conf() {
    device=''
    base=''
    vorna=vorna
    if [ ! -r "$conf" ]; then
        err "cannot read the configuration $conf"
        return 1
    fi
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line%%#*}
        case "$line" in
            *=*) ;;
            *) continue ;;
        esac
        key=$(printf '%s' "${line%%=*}" | tr -d ' \t')
        value=$(printf '%s' "${line#*=}" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')
        case "$key" in
            device) device=$value ;;
            base) base=$value ;;
            vorna) vorna=$value ;;
        esac
    done <"$conf"
    if [ -z "$device" ] || [ -z "$base" ]; then
        err "$conf must set device and base"
        return 1
    fi
}

# vorna's lines, both streams, sorted: failures ([ERROR] lines, the lock's own
# lines) to standard error, the rest to standard output.
route() {
    while IFS= read -r line; do
        case "$line" in
            '[ERROR]'*|'file: '*' already locked'|"can't open file "*) printf 'vorna: %s\n' "$line" >&2 ;;
            *) printf 'vorna: %s\n' "$line" ;;
        esac
    done
}

# Runs vorna MODE on the image; sets rc to its status (kept in a file, since a
# pipeline's status is that of its last command) and locked=yes when another
# upgrade held the lock.
run_vorna() {
    { "$vorna" "$1" -b "$base" -d "$device" -f "$image" --progress 2>&1
      echo $? >"$scratch/status"
    } | tee "$scratch/lines" | route
    rc=$(cat "$scratch/status")
    locked=no
    grep -q 'The program is already running' "$scratch/lines" && locked=yes
    [ "$rc" -eq 0 ]
}

install_image() {
    read_conf || return 1
    [ -f "$image" ] || { err "no image at $image"; return 1; }
    run_vorna -c || { err "vorna -c ended with status $rc (see vorna(1), EXIT STATUS)"; return 1; }
    # Only a held lock is worth waiting for (nothing was written): every 5 s, for a minute.
    tries=12
    until run_vorna -u; do
        tries=$((tries - 1))
        if [ "$tries" -eq 0 ] || [ "$locked" = no ]; then
            err "vorna -u ended with status $rc (see vorna(1), EXIT STATUS)"
            return 1
        fi
        sleep 5
    done
}

case "${1:-}" in
    postinst)
        scratch=$(mktemp -d) || exit 1
        status=0
        install_image || status=1
        rm -rf "$scratch"
        rm -f "$image"
        exit "$status"
        ;;
esac
exit 0
