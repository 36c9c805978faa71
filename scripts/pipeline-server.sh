#!/usr/bin/env bash
# Starts or stops the reference pipeline server for the demo and for host
# developers.
#
#   pipeline-server.sh start DIR [ARGS...]
#                       server in the background; DIR/port holds its port,
#                       DIR/requests.log one line per request, DIR/server.log
#                       its own output, DIR/server.pid its process id. ARGS go
#                       to tools/pipeline-server/pipeline_server.py (options
#                       such as --packages DIR or fault switches); without
#                       --catalog the sample catalog is served.
#   pipeline-server.sh stop DIR
#                       stops it (nothing to do when it is gone)
set -eu

usage() {
    echo "usage: $0 start DIR [ARGS...] | stop DIR" >&2
    exit 2
}

[ $# -ge 2 ] || usage
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib/background-server.sh
. "$here/lib/background-server.sh"
command=$1
# Absolute, so that start and stop recognise the server by the same text.
dir=$(realpath -m -- "$2")
shift 2

case $command in
start)
    catalog_args=()
    case " $* " in
    *" --catalog "* | *" --catalog="*) ;;
    *) catalog_args=(--catalog "$here/../tools/pipeline-server/sample-catalog.json") ;;
    esac
    start_background_server "$dir" "pipeline server" \
        "$here/../tools/pipeline-server/pipeline_server.py" \
        --log "$dir/requests.log" "${catalog_args[@]}" "$@"
    echo "pipeline server on http://127.0.0.1:$(cat "$dir/port")/lumq/pipeline," \
        "requests logged to $dir/requests.log"
    ;;
stop)
    [ $# -eq 0 ] || usage
    stop_background_server "$dir"
    ;;
*) usage ;;
esac
