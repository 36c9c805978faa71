# Shared by the scripts that start and stop the local test servers. A server
# runs in the background with DIR/port (its port), DIR/server.pid and
# DIR/server.log; it gets no streams of its caller, since a test runner waiting
# for its output pipe to close would otherwise wait for the server too.
# Servers also stop by themselves after a while.
# They run as the caller, so they reach files wherever the caller may, even
# inside a private folder (mode 0700).

# Debian's interpreter starts fastest; any python3 will do.
if [ -x /usr/bin/python3 ]; then
    server_python=/usr/bin/python3
else
    server_python=python3
fi

# A free TCP port on 127.0.0.1 (another program may still take it first).
free_port() {
    "$server_python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# For the subshell that becomes a server: descriptors beyond the standard
# three may be pipes of whoever called us (a test runner waits until they
# close), so the server must not keep them open.
close_inherited_descriptors() {
    local path fd
    for path in "/proc/$BASHPID/fd/"*; do
        fd=${path##*/}
        if [ "$fd" -gt 2 ]; then
            eval "exec $fd>&-" 2>/dev/null || true
        fi
    done
}

# Succeeds when PID is the server of DIR, not some process that got the id
# after ours ended. Servers take "--port-file DIR/port" followed by another
# argument, so the text is found with its trailing space.
is_our_server() {
    local pid=$1 dir=$2
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "--port-file $dir/port "
}

stop_background_server() {
    local dir=$1
    [ -f "$dir/server.pid" ] || return 0
    local pid
    pid=$(cat "$dir/server.pid")
    if [ -n "$pid" ] && is_our_server "$pid" "$dir"; then
        kill -TERM "$pid" 2>/dev/null || true
        # It exits within a fraction of a second; wait at most 5 s.
        for _ in $(seq 50); do
            is_our_server "$pid" "$dir" || break
            sleep 0.1
        done
        if is_our_server "$pid" "$dir"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$dir/server.pid"
}

# start_background_server DIR NAME SCRIPT ARGS...: runs "python3 SCRIPT
# --port-file DIR/port ARGS..." and waits (at most 10 s) for the port.
start_background_server() {
    local dir=$1 name=$2 script=$3
    shift 3
    mkdir -p "$dir"
    # A server left over from an interrupted run would answer with stale state.
    stop_background_server "$dir"
    rm -f "$dir/port"
    (
        close_inherited_descriptors
        exec setsid nohup "$server_python" "$script" --port-file "$dir/port" "$@" \
            </dev/null >"$dir/server.log" 2>&1
    ) &
    local pid=$!
    echo "$pid" >"$dir/server.pid"
    for _ in $(seq 100); do
        if [ -s "$dir/port" ]; then
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "$name did not start; its output:" >&2
    cat "$dir/server.log" >&2 || true
    stop_background_server "$dir"
    return 1
}
