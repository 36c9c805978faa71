#!/bin/sh
# Runs a command the way a machine behind an HTTP proxy runs it: with
# http_proxy naming the proxy on 127.0.0.1 whose port is in PORT_FILE.
#
#   behind-proxy.sh PORT_FILE COMMAND [ARGS...]
set -eu
[ $# -ge 2 ] || { echo "usage: $0 PORT_FILE COMMAND [ARGS...]" >&2; exit 2; }
port=$(cat "$1")
shift
http_proxy="http://127.0.0.1:$port" exec "$@"
