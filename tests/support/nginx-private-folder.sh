#!/usr/bin/env bash
# scripts/nginx-server.sh serves a folder whose parent only its owner may enter
# (mode 0700), as in a checkout inside a private home folder.
#   nginx-private-folder.sh SCRIPTS_DIR WORK_DIR
set -eu
scripts=$1 work=$2
rm -rf "$work"
mkdir -p "$work/private/www"
chmod 0700 "$work/private"
head -c 65536 /dev/urandom >"$work/private/www/file"
trap '"$scripts/nginx-server.sh" stop "$work/server"' EXIT
"$scripts/nginx-server.sh" start "$work/server" "$work/private/www"
status=$(curl -sS --max-time 10 -o "$work/fetched" -w '%{http_code}' \
    "http://127.0.0.1:$(cat "$work/server/port")/file")
[ "$status" = 200 ] || { echo "nginx answered $status" >&2; exit 1; }
cmp "$work/private/www/file" "$work/fetched"
