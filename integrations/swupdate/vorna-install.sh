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
# non-zero status fails the update, and so does a status that did not reach the
# script or is not a number: only a 0 received from vorna is a success. While
# another upgrade holds vorna's lock, the script tries again every 5 s for a
# minute. The image is removed in either case.
#
# In a streamed .swu (vorna-swu -s FIFO) the image never reaches a file: the
# "raw" handler copies it into the named pipe IMAGE, whose reader, started by
# SWUpdate's pre-update command vorna-swupdate-stream, has installed it with
# `vorna -u` by the time postinst runs. postinst then waits for that reader
# (it holds IMAGE.lock while it runs) and reports what it left in IMAGE.log:
# vorna's lines, sorted as above, and the update succeeds only when the log's
# last line is "status 0".
set -u

image='@IMAGE_PATH@'
mode='@MODE@'
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
# lines) to standard error, the rest to descriptor 4 (the script's standard
# output). At the end it prints "locked yes" on standard output when another
# upgrade held the lock.
route() {
    locked=no
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in
            *'The program is already running'*) locked=yes ;;
        esac
        case "$line" in
            '[ERROR]'*|'file: '*' already locked'|"can't open file "*) printf 'vorna: %s\n' "$line" >&2 ;;
            *) printf 'vorna: %s\n' "$line" >&4 ;;
        esac
    done
    echo "locked $locked"
}

# What a status means where the engine's retry rules need more than vorna(1):
# nothing for the others.
meaning() {
    case "$1" in
        250) echo ": the image's security_version is below the device's floor, or the floor cannot be read (do not retry; nothing was written)" ;;
    esac
}

# After a failed upgrade: what vorna's record of it says (vorna --last-upgrade),
# the line a boot script acts on; nothing when there is no record.
report_record() {
    record=$("$vorna" --last-upgrade 2>&1)
    case $? in
        0) ;;
        1) err "vorna --last-upgrade: $record (the upgrade is incomplete: install the same image again; do not start the board from it before)" ;;
        2) err "vorna --last-upgrade: $record (partitions an earlier upgrade left half-written: install an image that writes them)" ;;
        *) err "vorna --last-upgrade: $record (the record of the upgrade cannot be read)" ;;
    esac
}

# Runs vorna MODE on the image and succeeds only when its status is 0. A
# pipeline's status is that of its last command, so vorna's comes back beside
# the lines, through descriptor 3 of a command substitution, never through a
# file that a full or read-only /tmp could lose. Sets rc (the status as
# received), locked, and on a failure the line that says it (outcome).
run_vorna() {
    { summary=$({ { "$vorna" "$1" -b "$base" -d "$device" -f "$image" --progress 2>&1 3>&- 4>&-
                    echo "status $?" >&3
                  } | route 3>&-
                } 3>&1)
    } 4>&1
    rc=''
    locked=no
    for item in $(printf '%s\n' "$summary" | tr ' ' '='); do
        case "$item" in
            status=*) rc=${item#status=} ;;
            locked=yes) locked=yes ;;
        esac
    done
    case "$rc" in
        0) return 0 ;;
        '' | *[!0-9]*) outcome="vorna $1: its exit status did not reach the script, counted as a failure" ;;
        *) outcome="vorna $1 ended with status $rc (see vorna(1), EXIT STATUS)$(meaning "$rc")" ;;
    esac
    return 1
}

install_image() {
    read_conf || return 1
    [ -f "$image" ] || { err "no image at $image"; return 1; }
    run_vorna -c || { err "$outcome"; return 1; }
    # Only a held lock is worth waiting for (nothing was written): every 5 s, for a minute.
    tries=12
    until run_vorna -u; do
        tries=$((tries - 1))
        if [ "$tries" -eq 0 ] || [ "$locked" = no ]; then
            err "$outcome"
            report_record
            return 1
        fi
        sleep 5
    done
}

# The outcome of the streamed install, as the reader left it.
stream_outcome() {
    # The reader holds the lock until it has written the log; a lock file that
    # is missing (no reader ever ran) is made here and leaves no log.
    flock "$image.lock" true || { err "cannot wait for the stream reader ($image.lock)"; return 1; }
    if [ ! -f "$image.log" ]; then
        err "no outcome of the streamed install in $image.log (is swupdate -P \"vorna-swupdate-stream $image\" set?)"
        return 1
    fi
    last=$(tail -n 1 "$image.log")
    { sed '$d' "$image.log" | route >/dev/null; } 4>&1
    rm -f "$image.log"
    case "$last" in
        'status 0') return 0 ;;
        'status '*) err "vorna -u ended with ${last} (see vorna(1), EXIT STATUS)$(meaning "${last#status }")" ;;
        *) err "vorna -u: its exit status did not reach the script, counted as a failure" ;;
    esac
    ! read_conf 2>/dev/null || report_record
    return 1
}

case "$mode ${1:-}" in
    'stream postinst')
        stream_outcome || exit 1
        ;;
    'file postinst')
        status=0
        install_image || status=1
        rm -f "$image"
        exit "$status"
        ;;
esac
exit 0
