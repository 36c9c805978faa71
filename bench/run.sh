#!/usr/bin/env bash
# Measures the library against its anchors in one run against the same local
# servers: nginx serves the files and a fixed pipeline answer (the reference
# pipeline server's answer to the benchmark's query, frozen in a file, so that
# an answer costs the server nothing). Each figure is printed as soon as it is
# measured: the library's figure, the anchor's, and the ratio. Every transfer
# is checked (curl's HTTP status and size, the status each library run ended
# with, md5sum's digest against the library's); the first failure names its
# figure and why and ends the run with exit code 1.
set -Eeuo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/bin"
work="$root/build/bench"
www="$work/www"
mkdir -p "$www/lumq"
failed="$work/failed"
rm -f "$failed"
figure="setting up"

# Says once which figure failed and why, also from a subshell, and ends the run.
fail() {
    [ -e "$failed" ] || echo "FAILED: $figure: $*" >&2
    : >"$failed"
    exit 1
}
trap 'fail "a command failed at line $LINENO of bench/run.sh"' ERR
cleanup() {
    "$root/scripts/nginx-server.sh" stop "$work/nginx"
    "$root/scripts/pipeline-server.sh" stop "$work/pipeline"
    rm -f "$work/curl.bin" "$work/korvel.bin" "$work/packet.bin" "$work"/*.runs "$failed"
}
trap cleanup EXIT

gib=$((1024 * 1024 * 1024))
mib100=$((100 * 1024 * 1024))
# Random data, made once: nothing on the way can compress it.
[ "$(stat -c %s "$www/1g.bin" 2>/dev/null || echo 0)" -eq "$gib" ] ||
    head -c "$gib" /dev/urandom >"$www/1g.bin"
[ "$(stat -c %s "$www/100m.bin" 2>/dev/null || echo 0)" -eq "$mib100" ] ||
    head -c "$mib100" "$www/1g.bin" >"$www/100m.bin"

"$root/scripts/nginx-server.sh" start "$work/nginx" "$www" >/dev/null
"$root/scripts/pipeline-server.sh" start "$work/pipeline" >/dev/null
files="http://127.0.0.1:$(cat "$work/nginx/port")"
reference_url="http://127.0.0.1:$(cat "$work/pipeline/port")/lumq/pipeline"

export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
"$root/scripts/wine-prefix.sh" "$WINEPREFIX"

windows_path() { echo "Z:${1//\//\\}"; }
# korvel-bench's line (the status it ended with, then its figures); the
# status also goes to stderr.
run() {
    local line
    line=$(cd "$bin" && { wine korvel-bench.exe "$@" | tr -d '\r'; } || exit 1) ||
        fail "korvel-bench $1 ended with ${line:-no output}"
    echo "korvel-bench $1 ended with ${line%% *}" >&2
    echo "$line"
}
# curl_check FIELD URL FILE BYTES [CURL ARGS...]: curl's FIELD (a -w variable)
# of a transfer that got a 200 of BYTES bytes.
curl_check() {
    local field=$1 url=$2 file=$3 bytes=$4 code size value
    shift 4
    read -r code size value < <(curl -s -o "$file" \
        -w "%{http_code} %{size_download} %{$field}\n" "$@" "$url" || true)
    [ "${code:-000}" = 200 ] || fail "curl got HTTP ${code:-000} from $url"
    [ "$size" -eq "$bytes" ] || fail "curl got $size bytes from $url, not $bytes"
    echo "$value"
}
curl_rate() { curl_check speed_download "$@"; }
# "status bytes seconds peak" -> "bytes/second seconds peak"
rate() { awk '{ printf "%.0f %s %s\n", $2 / $3, $3, $4 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mbs() { awk -v r="$1" 'BEGIN { printf "%.0f MB/s", r / 1e6 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The better of two lines by their first number: disk and scheduling noise on
# a shared machine hits single runs.
best() { sort -n -r | head -n 1; }

# Query round trips against the fixed answer: the same packet, posted by curl,
# by WsUdQuerySubmit and by bare asynchronous WinINet (the platform's floor),
# the last two in turns in one process.
figure="query round trip"
(cd "$bin" && wine korvel-bench.exe query-packet "$(windows_path "$work/packet.bin")") >/dev/null ||
    fail "korvel-bench could not write the query's packet"
query_args="?cmd=ContentCmd:Query&MaxHits=10&pipeline_version=2.0"
code=$(curl -s -o "$www/lumq/pipeline" -w '%{http_code}' --data-binary @"$work/packet.bin" \
    "$reference_url$query_args" || true)
answer_bytes=$(stat -c %s "$www/lumq/pipeline")
[ "$code" = 200 ] || fail "the reference pipeline server answered the query with HTTP $code"
chmod -R a+rX "$www"
answer_url="$files/lumq/pipeline"
wine reg add 'HKLM\SOFTWARE\Talvessa\Pipeline' /v S_URL /d "$answer_url" /f >/dev/null 2>&1 ||
    fail "the registry of $WINEPREFIX could not be set"
curl_query=$(for _ in $(seq 25); do
    curl_check time_total "$answer_url$query_args" /dev/null "$answer_bytes" \
        --data-binary @"$work/packet.bin"
done | awk '{ print $1 * 1000 }' | median)
line=$(run query 400 "$answer_url$query_args" "$(windows_path "$work/packet.bin")")
read -r _ korvel_query bare_query korvel_fast bare_fast <<<"$line"
echo "query round trip median against a fixed answer from nginx: ${korvel_query} ms through the exports vs bare asynchronous WinINet ${bare_query} ms: $(ratio "$korvel_query" "$bare_query") (target <= 1.3); 10th percentile ${korvel_fast} vs ${bare_fast} ms: $(ratio "$korvel_fast" "$bare_fast"); curl ${curl_query} ms"

# One transaction into memory. curl to /dev/null keeps nothing; into a tmpfs
# file it keeps the body in memory, as the library does.
figure="download in memory, 100 MiB"
curl_memory=$(for _ in 1 2; do curl_rate "$files/100m.bin" /dev/null "$mib100"; done | best)
curl_kept=$(for _ in 1 2; do
    curl_rate "$files/100m.bin" /dev/shm/korvel-bench.bin "$mib100"
    rm -f /dev/shm/korvel-bench.bin
done | best)
korvel_runs=$(for _ in 1 2; do run memory "$files/100m.bin" | rate; done)
read -r korvel_memory _ peak_memory <<<"$(best <<<"$korvel_runs")"
echo "download in memory, 100 MiB: $(mbs "$korvel_memory") vs curl to /dev/null $(mbs "$curl_memory"): $(ratio "$korvel_memory" "$curl_memory") (target >= 0.8); vs curl into tmpfs $(mbs "$curl_kept"): $(ratio "$korvel_memory" "$curl_kept"); peak working set $peak_memory MiB"

# Download to a file of 1 GiB, both writing to the same disk, and a resume of
# it from 30 %, in three rounds: the disk's speed drifts from run to run, so
# each round measures all three one after the other, curl first in the first
# and last rounds and second in the middle one.
figure="download to file, 1 GiB"
: >"$work/curl-file.runs"
: >"$work/korvel-file.runs"
: >"$work/resume.runs"
curl_file_round() {
    curl_rate "$files/1g.bin" "$work/curl.bin" "$gib" >>"$work/curl-file.runs"
    rm -f "$work/curl.bin"
}
for round in 1 2 3; do
    [ "$round" = 2 ] || curl_file_round
    run file "$files/1g.bin" "$(windows_path "$work/korvel.bin")" | rate >>"$work/korvel-file.runs"
    [ "$round" != 2 ] || curl_file_round
    head -c $((gib * 3 / 10)) "$www/1g.bin" >"$work/korvel.bin"
    figure="resume of 1 GiB from 30 %"
    run resume "$files/1g.bin" "$(windows_path "$work/korvel.bin")" | rate >>"$work/resume.runs"
    cmp -s "$work/korvel.bin" "$www/1g.bin" || fail "the resumed file differs from the original"
    rm -f "$work/korvel.bin"
    figure="download to file, 1 GiB"
done
curl_file=$(best <"$work/curl-file.runs")
read -r korvel_file _ peak_file < <(best <"$work/korvel-file.runs")
fresh_seconds=$(awk '{ s += $2 } END { print s }' "$work/korvel-file.runs")
resume_seconds=$(awk '{ s += $2 } END { print s }' "$work/resume.runs")
echo "download to file, 1 GiB: $(mbs "$korvel_file") vs curl $(mbs "$curl_file"): $(ratio "$korvel_file" "$curl_file") (target >= 1.0); peak working set $peak_file MiB"
echo "resume of 1 GiB from 30 %, three rounds: ${resume_seconds} s vs fresh downloads ${fresh_seconds} s: $(ratio "$resume_seconds" "$fresh_seconds") (target <= 0.8)"

# MD5 of 1 GiB, both from the page cache; both must find the same digest.
figure="checksum, 1 GiB"
md5sum "$www/1g.bin" >/dev/null
md5_start=$(date +%s.%N)
read -r md5_digest _ < <(md5sum "$www/1g.bin")
md5_rate=$(awk -v s="$md5_start" -v e="$(date +%s.%N)" -v n="$gib" 'BEGIN { printf "%.0f", n / (e - s) }')
line=$(run checksum "$(windows_path "$www/1g.bin")")
[ "${line%% *}" = "$md5_digest" ] || fail "the library's MD5 ${line%% *} differs from md5sum's $md5_digest"
read -r korvel_md5 _ _ <<<"$(rate <<<"$line")"
echo "checksum, 1 GiB: $(mbs "$korvel_md5") vs md5sum $(mbs "$md5_rate"): $(ratio "$korvel_md5" "$md5_rate") (target >= 0.9)"
