#!/usr/bin/env bash
# Starts or stops a private nginx that serves a folder on 127.0.0.1.
#
#   nginx-server.sh start DIR ROOT   nginx in the background serving ROOT; DIR/port
#                                    holds its port, DIR/error.log its log; it
#                                    stops by itself after an hour
#   nginx-server.sh stop DIR         stops it (nothing to do when it is gone)
set -eu

usage() {
    echo "usage: $0 start DIR ROOT | stop DIR" >&2
    exit 2
}

lifetime_seconds=3600

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_config() {
    local dir=$1 root=$2 port=$3
    mkdir -p "$dir/temp"
    cat >"$dir/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
}
EOF
}

stop() {
    local dir=$1
    [ -f "$dir/server.pid" ] || return 0
    kill -TERM "$(cat "$dir/server.pid")" 2>/dev/null || true
    for _ in $(seq 50); do
        [ -f "$dir/nginx.pid" ] || break
        sleep 0.1
    done
    rm -f "$dir/server.pid" "$dir/port"
}

start() {
    local dir=$1 root=$2
    stop "$dir"
    mkdir -p "$dir"
    local attempt port
    # Another program may take the free port before nginx binds it.
    for attempt in 1 2 3; do
        port=$(free_port)
        write_config "$dir" "$(realpath "$root")" "$port"
        rm -f "$dir/nginx.pid"
        setsid timeout "$lifetime_seconds" nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" \
            </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/server.pid"
        for _ in $(seq 50); do
            if [ -f "$dir/nginx.pid" ]; then
                echo "$port" >"$dir/port"
                echo "nginx on 127.0.0.1:$port serving $root"
                return 0
            fi
            kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
            sleep 0.1
        done
        stop "$dir"
    done
    echo "nginx did not start; its log:" >&2
    cat "$dir/error.log" >&2 || true
    return 1
}

case ${1:-} in
start) [ $# -eq 3 ] || usage; start "$(realpath -m -- "$2")" "$3" ;;
stop) [ $# -eq 2 ] || usage; stop "$(realpath -m -- "$2")" ;;
*) usage ;;
esac
