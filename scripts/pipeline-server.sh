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
#
# The server gets no terminal streams of ours: a caller waiting for our output
# pipe to close would otherwise wait for the server too. It also stops by
# itself after its lifetime or idle time, so a run that never calls stop
# leaves nothing behind.
set -eu

usage() {
    echo "usage: $0 start DIR [ARGS...] | stop DIR" >&2
    exit 2
}

[ $# -ge 2 ] || usage
command=$1
# Absolute, so that start and stop recognise the server by the same text.
dir=$(realpath -m -- "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
server=$here/../tools/pipeline-server/pipeline_server.py
sample_catalog=$here/../tools/pipeline-server/sample-catalog.json
pid_file=$dir/server.pid
port_file=$dir/port

# Debian's interpreter starts fastest; any python3 will do.
if [ -x /usr/bin/python3 ]; then
    python=/usr/bin/python3
else
    python=python3
fi

# Succeeds when PID is a server of ours for this DIR, not some process that
# got the id after ours ended.
is_our_server() {
    local pid=$1
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "--port-file $port_file "
}

stop_server() {
    [ -f "$pid_file" ] || return 0
    local pid
    pid=$(cat "$pid_file")
    if [ -n "$pid" ] && is_our_server "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        # It exits within a fraction of a second; wait at most 5 s.
        for _ in $(seq 50); do
            is_our_server "$pid" || break
            sleep 0.1
        done
        if is_our_server "$pid"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$pid_file"
}

start_server() {
    mkdir -p "$dir"
    # A server left over from an interrupted run would answer with stale state.
    stop_server
    rm -f "$port_file"
    local catalog_args=()
    case " $* " in
    *" --catalog "* | *" --catalog="*) ;;
    *) catalog_args=(--catalog "$sample_catalog") ;;
    esac
    (
        # Descriptors beyond the standard three may be pipes of whoever
        # called us; the server must not keep them open.
        for path in "/proc/$BASHPID/fd/"*; do
            fd=${path##*/}
            if [ "$fd" -gt 2 ]; then
                eval "exec $fd>&-" 2>/dev/null || true
            fi
        done
        # --port-file comes first and is followed by another option, so that
        # is_our_server finds it with its trailing space.
        exec setsid nohup "$python" "$server" --port-file "$port_file" \
            --log "$dir/requests.log" "${catalog_args[@]}" "$@" \
            </dev/null >"$dir/server.log" 2>&1
    ) &
    local pid=$!
    echo "$pid" >"$pid_file"
    # Bounded wait: 10 s for the port file.
    for _ in $(seq 100); do
        if [ -s "$port_file" ]; then
            echo "pipeline server $pid on http://127.0.0.1:$(cat "$port_file")/lumq/pipeline," \
                "requests logged to $dir/requests.log"
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "pipeline server did not start; its output:" >&2
    cat "$dir/server.log" >&2 || true
    stop_server
    return 1
}

case $command in
start) start_server "$@" ;;
stop)
    [ $# -eq 0 ] || usage
    stop_server
    ;;
*) usage ;;
esac
