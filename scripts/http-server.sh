#!/usr/bin/env bash
# Starts or stops the reference server (tools/pipeline-server) for the
# transport tests, which script every answer in the URL under /s/.
#
#   http-server.sh start DIR   server in the background; DIR/port holds its port,
#                              DIR/records its request records, DIR/files the
#                              files it serves, DIR/server.log its log,
#                              DIR/server.pid its process id
#   http-server.sh stop DIR    stops it (nothing to do when it is gone)
set -eu

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib/background-server.sh
. "$here/lib/background-server.sh"
# Absolute, so that start and stop recognise the server by the same text.
dir=$(realpath -m -- "$2")

case $1 in
start)
    stop_background_server "$dir"
    rm -rf "$dir/records"
    mkdir -p "$dir/records"
    start_background_server "$dir" "scripted HTTP server" \
        "$here/../tools/pipeline-server/pipeline_server.py" --record-dir "$dir/records" \
        --files "$dir/files"
    echo "scripted HTTP server on 127.0.0.1:$(cat "$dir/port"), records in $dir/records"
    ;;
stop) stop_background_server "$dir" ;;
*) usage ;;
esac
