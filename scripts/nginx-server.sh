#!/usr/bin/env bash
# Starts or stops a private nginx that serves a folder on 127.0.0.1.
#
#   nginx-server.sh start DIR ROOT   nginx in the background serving ROOT; DIR/port
#                                    holds its port, DIR/error.log its log; it
#                                    stops by itself after an hour
#   nginx-server.sh stop DIR         stops it (nothing to do when it is gone)
#
# Its workers run as the caller (lib/nginx.sh), so ROOT may lie inside a
# private folder (mode 0700) of that user.
set -eu

usage() {
    echo "usage: $0 start DIR ROOT | stop DIR" >&2
    exit 2
}

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib/nginx.sh
. "$here/lib/nginx.sh"

write_config() {
    local dir=$1 port
    port=$(free_port)
    {
        nginx_config_head "$dir"
        cat <<CONF
    server {
        listen 127.0.0.1:$port;
        root $root;
        # A POST to a file is answered with the file, as a fixed answer of a
        # service costs nothing to the server.
        error_page 405 =200 \$uri;
    }
}
CONF
    } >"$dir/nginx.conf"
    echo "$port" >"$dir/port"
}

case ${1:-} in
start)
    [ $# -eq 3 ] || usage
    dir=$(realpath -m -- "$2")
    root=$(realpath -- "$3")
    start_nginx "$dir" write_config
    echo "nginx on 127.0.0.1:$(cat "$dir/port") serving $root"
    ;;
stop)
    [ $# -eq 2 ] || usage
    dir=$(realpath -m -- "$2")
    stop_nginx "$dir"
    rm -f "$dir/port"
    ;;
*) usage ;;
esac
