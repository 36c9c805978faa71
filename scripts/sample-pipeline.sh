#!/usr/bin/env bash
# The reference pipeline server with the sample catalog and a real sample
# package, for the demo and for the tests of the documented examples.
#
#   sample-pipeline.sh start DIR [BIN]
#                       builds in DIR/packages the package of every entry of
#                       the sample catalog around BIN's sample-installer.exe
#                       (BIN: build/bin), writes DIR/catalog.json with the
#                       packages' true sizes and SHA-256, and starts the
#                       server in DIR/server (its port in DIR/server/port);
#                       prints the pipeline URL
#   sample-pipeline.sh stop DIR
set -eu

usage() {
    echo "usage: $0 start DIR [BIN] | stop DIR" >&2
    exit 2
}

[ $# -ge 2 ] || usage
here=$(cd "$(dirname "$0")" && pwd)
dir=$(realpath -m -- "$2")

case $1 in
start)
    bin=${3:-$here/../build/bin}
    catalog=$here/../tools/pipeline-server/sample-catalog.json
    "$here/make-sample-package.py" "$catalog" "$bin/sample-installer.exe" "$dir/packages"
    "$here/catalog-for-packages.py" "$catalog" "$dir/packages" "$dir/catalog.json"
    "$here/pipeline-server.sh" start "$dir/server" --catalog "$dir/catalog.json" \
        --packages "$dir/packages" >/dev/null
    echo "http://127.0.0.1:$(cat "$dir/server/port")/lumq/pipeline"
    ;;
stop)
    [ $# -eq 2 ] || usage
    "$here/pipeline-server.sh" stop "$dir/server"
    ;;
*) usage ;;
esac
