#!/usr/bin/env bash
# Starts (and on first use creates) a Wine prefix owned by the build. A
# persistent wineserver is started first and the first wine process gets no
# terminal streams: otherwise Wine's services inherit the caller's output pipe
# and a test runner waiting on that pipe hangs.
set -eu
prefix=$1
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
# An already running server for this prefix is fine.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1
