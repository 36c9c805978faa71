#!/usr/bin/env bash
# The main job: runs the demo host against the built library under Wine, in a
# prefix of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix="$root/build/wine-demo"
"$root/scripts/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
cd "$root/build/bin"
wine korvel-demo.exe
