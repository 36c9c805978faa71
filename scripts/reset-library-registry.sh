#!/usr/bin/env bash
# Puts the library's registry values in a Wine prefix back to their known
# state before a test run: none at all. A test killed by its time-out cannot
# put back the values it set (the pipeline URL, the log), and left there they
# would steer the tests of every later run.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
key='HKLM\SOFTWARE\Talvessa'
# A missing key is the known state already.
wine reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
if wine reg query "$key" </dev/null >/dev/null 2>&1; then
    echo "$key is still in $WINEPREFIX" >&2
    exit 1
fi
