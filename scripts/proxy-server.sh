#!/usr/bin/env bash
# Starts or stops the HTTP proxies of the proxy tests: two private tinyproxy
# instances on 127.0.0.1, one open and one that demands Basic credentials.
#
#   proxy-server.sh start DIR
#       DIR/open and DIR/auth each hold the proxy's port (port), its log of
#       every request it passed on (tinyproxy.log) and its configuration; the
#       credentials of DIR/auth are in DIR/auth/credentials as USER:PASSWORD.
#       Both stop by themselves after an hour.
#   proxy-server.sh stop DIR
#       stops them (nothing to do when they are gone)
#
# tinyproxy runs as the user who starts it (User and Group name the caller),
# so its configuration and log may live inside a checkout in a private folder
# (mode 0700): started by root without them it keeps root only by a fallback
# it warns about, and any other user it switched to could not enter such a
# folder. Started by anyone else, tinyproxy does not change user at all.
set -eu

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}

lifetime_seconds=3600
credentials=korvel:proxy-secret

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib/background-server.sh
. "$here/lib/background-server.sh"

# Succeeds when PID is the proxy of FOLDER, not a process that got the id later.
is_our_proxy() {
    local pid=$1 folder=$2
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "-c $folder/tinyproxy.conf "
}

stop_proxy() {
    local folder=$1 pid
    [ -f "$folder/server.pid" ] || return 0
    pid=$(cat "$folder/server.pid")
    if is_our_proxy "$pid" "$folder"; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            is_our_proxy "$pid" "$folder" || break
            sleep 0.1
        done
    fi
    rm -f "$folder/server.pid" "$folder/port"
}

write_config() {
    local folder=$1 port=$2 auth=$3
    cat >"$folder/tinyproxy.conf" <<CONF
User $(id -un)
Group $(id -gn)
Port $port
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 30
MaxClients 64
LogFile "$folder/tinyproxy.log"
LogLevel Info
CONF
    if [ -n "$auth" ]; then
        echo "BasicAuth ${auth%%:*} ${auth#*:}" >>"$folder/tinyproxy.conf"
        echo "$auth" >"$folder/credentials"
    fi
}

accepts_connections() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# start_proxy FOLDER [USER:PASSWORD]; retried when another program took the port.
start_proxy() {
    local folder=$1 auth=${2:-} port pid
    stop_proxy "$folder"
    rm -rf "$folder"
    mkdir -p "$folder"
    for _ in 1 2 3; do
        port=$(free_port)
        write_config "$folder" "$port" "$auth"
        (
            close_inherited_descriptors
            exec setsid timeout "$lifetime_seconds" tinyproxy -d -c "$folder/tinyproxy.conf" \
                </dev/null >"$folder/output.log" 2>&1
        ) &
        pid=$!
        echo "$pid" >"$folder/server.pid"
        for _ in $(seq 50); do
            if accepts_connections "$port"; then
                echo "$port" >"$folder/port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_proxy "$folder"
    done
    echo "tinyproxy did not start; its output:" >&2
    cat "$folder/output.log" "$folder/tinyproxy.log" >&2 2>/dev/null || true
    return 1
}

[ $# -eq 2 ] || usage
dir=$(realpath -m -- "$2")
case $1 in
start)
    start_proxy "$dir/open"
    start_proxy "$dir/auth" "$credentials"
    echo "tinyproxy on 127.0.0.1:$(cat "$dir/open/port") (open)" \
        "and 127.0.0.1:$(cat "$dir/auth/port") (Basic credentials)"
    ;;
stop)
    stop_proxy "$dir/open"
    stop_proxy "$dir/auth"
    ;;
*) usage ;;
esac
