#!/usr/bin/env bash
# Measures the library's transfers against curl, in one run against the same
# local server, and prints one line per figure with its ratio to the anchor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/bin"
work="$root/build/bench"
server="$work/server"
mkdir -p "$work"
"$root/scripts/http-server.sh" start "$server"
trap '"$root/scripts/http-server.sh" stop "$server"' EXIT
port=$(cat "$server/port")
"$root/scripts/wine-prefix.sh" "$root/build/wine-prefix"
export WINEPREFIX="$root/build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY

url() { echo "http://127.0.0.1:$port/s/size=$1/bench"; }
windows_path() { echo "Z:${1//\//\\}"; }
# bytes per second of a curl download
curl_rate() { curl -s -o "$2" -w '%{speed_download}' "$1"; }
# bytes per second and peak MiB of a korvel-bench run
bench() {
    local line
    line=$(cd "$bin" && wine korvel-bench.exe "$@" | tr -d '\r')
    awk '{ printf "%.0f %s\n", $1 / $2, $3 }' <<<"$line"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

gib=$((1024 * 1024 * 1024))
mib100=$((100 * 1024 * 1024))

curl_file=$(curl_rate "$(url $gib)" "$work/curl.bin")
rm -f "$work/curl.bin"
read -r korvel_file peak_file < <(bench file "$(url $gib)" "$(windows_path "$work/korvel.bin")")
rm -f "$work/korvel.bin"
curl_memory=$(curl_rate "$(url $mib100)" /dev/null)
read -r korvel_memory peak_memory < <(bench memory "$(url $mib100)")
read -r wininet_file _ < <(bench wininet "$(url $gib)")

echo "download-to-file throughput ratio vs curl: $(ratio "$korvel_file" "$curl_file")"
echo "download-to-file peak working set: ${peak_file} MiB (1 GiB file)"
echo "download-in-memory throughput ratio vs curl: $(ratio "$korvel_memory" "$curl_memory") (peak ${peak_memory} MiB for 100 MiB)"
echo "bare WinINet read loop vs curl (the platform's ceiling): $(ratio "$wininet_file" "$curl_file")"
echo "download-to-file vs bare WinINet: $(ratio "$korvel_file" "$wininet_file")"
printf 'rates in MB/s: curl %.0f, korvel file %.0f, korvel memory %.0f (curl %.0f), WinINet %.0f\n' \
    "$(ratio "$curl_file" 1000000)" "$(ratio "$korvel_file" 1000000)" \
    "$(ratio "$korvel_memory" 1000000)" "$(ratio "$curl_memory" 1000000)" "$(ratio "$wininet_file" 1000000)"
