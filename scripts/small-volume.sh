#!/usr/bin/env bash
# small-volume.sh mount|unmount FOLDER [MEGABYTES]
# A volume of its own for the tests of a full disk: a tmpfs of MEGABYTES
# (default 64) at FOLDER, which Wine reports with its own size and free space.
set -euo pipefail
action=$1
folder=$2
megabytes=${3:-64}
case "$action" in
mount)
    mkdir -p "$folder"
    if mountpoint -q "$folder"; then
        umount "$folder"
    fi
    mount -t tmpfs -o "size=${megabytes}m,mode=0700" tmpfs "$folder"
    ;;
unmount)
    if mountpoint -q "$folder"; then
        umount "$folder"
    fi
    ;;
*)
    echo "usage: small-volume.sh mount|unmount FOLDER [MEGABYTES]" >&2
    exit 2
    ;;
esac
