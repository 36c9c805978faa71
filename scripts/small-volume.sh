#!/usr/bin/env bash
# small-volume.sh start|stop FOLDER [MEGABYTES]
# A volume of its own for the tests of a full disk: a tmpfs of MEGABYTES
# (default 64) mounted at FOLDER by start and unmounted by stop, which Wine
# reports with its own size and free space.
set -euo pipefail
action=$1
folder=$2
megabytes=${3:-64}
case "$action" in
start)
    mkdir -p "$folder"
    if mountpoint -q "$folder"; then
        umount "$folder"
    fi
    mount -t tmpfs -o "size=${megabytes}m,mode=0700" tmpfs "$folder"
    ;;
stop)
    if mountpoint -q "$folder"; then
        umount "$folder"
    fi
    ;;
*)
    echo "usage: small-volume.sh start|stop FOLDER [MEGABYTES]" >&2
    exit 2
    ;;
esac
