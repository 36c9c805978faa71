# Shared by the scripts that run a private nginx on loopback ports: the
# benchmark's file server and the HTTPS test servers. nginx runs in the
# foreground under `timeout`, so it stops by itself after an hour, with
# DIR/server.pid the id of that wrapper, DIR/nginx.pid nginx's own and
# DIR/error.log its log.
#
# Its workers run as the user who starts it, so nginx serves whatever that
# user may read: a checkout inside a private folder (mode 0700) too. Started
# by root, nginx would otherwise hand the requests to workers of its built-in
# user (nobody or www-data), which cannot enter such a folder and answer 403;
# the `user` directive names the caller instead. Started by anyone else, the
# workers already run as the caller and nginx would only warn about the
# directive, so it is left out.

# shellcheck source=scripts/lib/background-server.sh
. "$(dirname "${BASH_SOURCE[0]}")/background-server.sh"

nginx_lifetime_seconds=3600

# The start of a configuration: everything nginx writes stays inside DIR. The
# caller appends its server blocks and the closing brace of the http block.
nginx_config_head() {
    local dir=$1
    mkdir -p "$dir/temp"
    if [ "$(id -u)" -eq 0 ]; then
        echo "user $(id -un) $(id -gn);"
    fi
    cat <<EOF
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
EOF
}

stop_nginx() {
    local dir=$1 pid
    [ -f "$dir/server.pid" ] || return 0
    pid=$(cat "$dir/server.pid")
    # Only our wrapper, not a process that got its id after it ended.
    if [ -r "/proc/$pid/cmdline" ] &&
        tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "-c $dir/nginx.conf "; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            [ -f "$dir/nginx.pid" ] || break
            sleep 0.1
        done
    fi
    rm -f "$dir/server.pid"
}

# start_nginx DIR WRITE_CONFIG: WRITE_CONFIG DIR picks free ports, writes
# DIR/nginx.conf and records the ports; it is called again (at most three
# times in all) when another program took a port before nginx could bind it.
start_nginx() {
    local dir=$1 write_config=$2
    stop_nginx "$dir"
    mkdir -p "$dir"
    for _ in 1 2 3; do
        "$write_config" "$dir"
        rm -f "$dir/nginx.pid"
        (
            close_inherited_descriptors
            exec setsid timeout "$nginx_lifetime_seconds" nginx -p "$dir" -c "$dir/nginx.conf" \
                -e "$dir/error.log" </dev/null >/dev/null 2>&1
        ) &
        echo $! >"$dir/server.pid"
        for _ in $(seq 50); do
            [ -f "$dir/nginx.pid" ] && return 0
            kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
            sleep 0.1
        done
        stop_nginx "$dir"
    done
    echo "nginx did not start; its log:" >&2
    cat "$dir/error.log" >&2 || true
    return 1
}
