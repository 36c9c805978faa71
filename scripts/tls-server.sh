#!/usr/bin/env bash
# Starts or stops the HTTPS front of the HTTPS tests: a private nginx that
# passes every request on to a plain HTTP server on 127.0.0.1, once per
# certificate made by test-certificates.sh.
#
#   tls-server.sh start DIR UPSTREAM_PORT_FILE
#       certificates in DIR/certs (DIR/certs/ca.der is the authority to trust);
#       one TLS port per certificate, written to DIR/port-localhost,
#       DIR/port-wrong-name, DIR/port-expired and DIR/port-untrusted; the
#       upstream's port is read from UPSTREAM_PORT_FILE. A plain HTTP port,
#       DIR/port-files, serves the upstream's files folder (the folder "files"
#       beside UPSTREAM_PORT_FILE) under /files/ with nginx's own ranges and
#       validators. nginx stops by itself after an hour.
#   tls-server.sh stop DIR
#       stops it (nothing to do when it is gone)
#
# nginx's workers run as the caller (lib/nginx.sh), so the certificates, the
# files folder and DIR may lie inside a private folder (mode 0700).
set -eu

usage() {
    echo "usage: $0 start DIR UPSTREAM_PORT_FILE | stop DIR" >&2
    exit 2
}

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib/nginx.sh
. "$here/lib/nginx.sh"

certificates=(localhost wrong-name expired untrusted)

write_config() {
    local dir=$1 name port
    {
        nginx_config_head "$dir"
        for name in "${certificates[@]}"; do
            port=$(free_port)
            echo "$port" >"$dir/port-$name"
            cat <<CONF
    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $dir/certs/$name.pem;
        ssl_certificate_key $dir/certs/server.key;
        location / {
            proxy_pass http://127.0.0.1:$upstream_port;
            proxy_buffering off;
            proxy_request_buffering off;
        }
    }
CONF
        done
        port=$(free_port)
        echo "$port" >"$dir/port-files"
        cat <<CONF
    server {
        listen 127.0.0.1:$port;
        location /files/ {
            alias $files_dir/;
        }
    }
CONF
        echo "}"
    } >"$dir/nginx.conf"
}

case ${1:-} in
start)
    [ $# -eq 3 ] || usage
    dir=$(realpath -m -- "$2")
    upstream_port=$(cat "$3")
    files_dir=$(dirname "$(realpath -m -- "$3")")/files
    stop_nginx "$dir"
    rm -f "$dir"/port-*
    "$here/test-certificates.sh" "$dir/certs"
    start_nginx "$dir" write_config
    echo "HTTPS on 127.0.0.1 ports $(cat "$dir"/port-* | tr '\n' ' ')in front of port $upstream_port"
    ;;
stop)
    [ $# -eq 2 ] || usage
    dir=$(realpath -m -- "$2")
    stop_nginx "$dir"
    rm -f "$dir"/port-*
    ;;
*) usage ;;
esac
