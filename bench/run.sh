#!/usr/bin/env bash
# Measures the library against its anchors in one run against the same local
# servers, and prints one line per figure with its ratio to the anchor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/bin"
work="$root/build/bench"
mkdir -p "$work"
"$root/scripts/http-server.sh" start "$work/http" >/dev/null
"$root/scripts/pipeline-server.sh" start "$work/pipeline" >/dev/null
cleanup() {
    "$root/scripts/http-server.sh" stop "$work/http"
    "$root/scripts/pipeline-server.sh" stop "$work/pipeline"
    rm -f "$work/data.bin" "$work/korvel.bin" "$work/packet.bin"
}
trap cleanup EXIT
http_port=$(cat "$work/http/port")
pipeline_url="http://127.0.0.1:$(cat "$work/pipeline/port")/lumq/pipeline"

export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
"$root/scripts/wine-prefix.sh" "$WINEPREFIX"
wine reg add 'HKLM\SOFTWARE\Talvessa\Pipeline' /v S_URL /d "$pipeline_url" /f >/dev/null 2>&1

url() { echo "http://127.0.0.1:$http_port/s/size=$1/bench"; }
windows_path() { echo "Z:${1//\//\\}"; }
run() { (cd "$bin" && wine korvel-bench.exe "$@" | tr -d '\r'); }
# bytes per second and peak MiB from a "bytes seconds peak" line
rate() { awk '{ printf "%.0f %s\n", $1 / $2, $3 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

gib=$((1024 * 1024 * 1024))
mib100=$((100 * 1024 * 1024))

curl_file=$(curl -s -o "$work/data.bin" -w '%{speed_download}' "$(url $gib)")
read -r korvel_file peak_file < <(run file "$(url $gib)" "$(windows_path "$work/korvel.bin")" | rate)
rm -f "$work/korvel.bin"
read -r wininet_file _ < <(run wininet "$(url $gib)" | rate)
read -r wininet_big _ < <(run wininet "$(url $gib)" 1048576 | rate)

curl_memory=$(curl -s -o /dev/null -w '%{speed_download}' "$(url $mib100)")
read -r korvel_memory peak_memory < <(run memory "$(url $mib100)" | rate)

md5_start=$(date +%s.%N)
md5sum "$work/data.bin" >/dev/null
md5_rate=$(awk -v s="$md5_start" -v e="$(date +%s.%N)" -v n="$gib" 'BEGIN { printf "%.0f", n / (e - s) }')
read -r korvel_md5 _ < <(run checksum "$(windows_path "$work/data.bin")" | rate)

run query-packet "$(windows_path "$work/packet.bin")" >/dev/null
query="$pipeline_url?cmd=ContentCmd:Query&MaxHits=10&pipeline_version=2.0"
curl_query=$(for _ in $(seq 25); do
    curl -s --compressed -o /dev/null -w '%{time_total}\n' --data-binary @"$work/packet.bin" "$query"
done | awk '{ print $1 * 1000 }' | median)
korvel_query=$(run query 25)

echo "download-to-file throughput ratio vs curl: $(ratio "$korvel_file" "$curl_file")"
echo "download-to-file peak working set: $peak_file MiB for 1 GiB"
echo "download-in-memory throughput ratio vs curl: $(ratio "$korvel_memory" "$curl_memory") (peak $peak_memory MiB for 100 MiB)"
echo "query round trip median vs curl: $(ratio "$korvel_query" "$curl_query") (${korvel_query} ms vs ${curl_query} ms)"
echo "checksum throughput ratio vs md5sum: $(ratio "$korvel_md5" "$md5_rate")"
echo "bare WinINet loop, 16384-byte reads, vs curl: $(ratio "$wininet_file" "$curl_file") (the platform's ceiling for the library's reads)"
echo "bare WinINet loop, 1 MiB reads, vs curl: $(ratio "$wininet_big" "$curl_file")"
echo "download-to-file vs the 16384-byte WinINet ceiling: $(ratio "$korvel_file" "$wininet_file")"
