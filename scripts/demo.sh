#!/usr/bin/env bash
# The main job: the whole life of an update, told step by step. It starts the
# reference pipeline server with the sample catalog and a sample package
# (scripts/sample-pipeline.sh), points the library at it through the registry
# of a demo Wine prefix, and runs korvel-cli through ping, query, download and
# install. Exit status 0
# only when every step did what it should; nothing is left running.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/bin"
demo="$root/build/demo"
package=hostapp-2.1.3.zip
query='ProductId=1234 and Version>=2.1 and Language=en'

rm -rf "$demo"
mkdir -p "$demo/downloads"

# The sample catalog, its package built here, described by its true size and
# SHA-256.
pipeline=$("$root/scripts/sample-pipeline.sh" start "$demo/pipeline" "$bin") || exit 1
stop_all() {
    "$root/scripts/sample-pipeline.sh" stop "$demo/pipeline"
    # The demo prefix's Wine server would otherwise linger for a minute.
    WINEPREFIX="$root/build/wine-demo" wineserver -k 2>/dev/null || true
}
trap stop_all EXIT

export WINEPREFIX="$root/build/wine-demo" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
"$root/scripts/wine-prefix.sh" "$WINEPREFIX"
wine reg add 'HKLM\SOFTWARE\Talvessa\Pipeline' /v S_URL /d "$pipeline" /f >/dev/null 2>&1

run_cli() { (cd "$bin" && wine korvel-cli.exe --app HostApp --app-version 2.0.9 "$@"); }
# On a terminal korvel-cli draws its progress bar itself; elsewhere its line
# ends are made Unix ones.
cli() {
    if [ -t 1 ]; then
        run_cli "$@"
    else
        run_cli "$@" | tr -d '\r'
    fi
}
step() { printf '\n== %s\n' "$1"; }
results=()
record() { results+=("$1: $2"); }

printf 'korvel demo: the life of an update, against the reference pipeline server at\n%s\n' "$pipeline"

step "1/4 Ping the pipeline server"
if cli ping; then record ping ok; else record ping FAILED; fi

step "2/4 Ask for updates: $query"
if cli query "$query"; then record query ok; else record query FAILED; fi
# Scripts read the same answer as JSON: how many updates, and the first
# one's package and checksum.
read -r hits url sha256 < <(run_cli query "$query" --json | python3 -c '
import json, sys
entries = json.load(sys.stdin)["entries"]
first = entries[0] if entries else {}
print(len(entries), first.get("downloadUrl") or "-",
      (first.get("metadata", {}).get("Sha256") or ["-"])[0])' 2>/dev/null)
[ "${url:--}" = "-" ] && url=
if [ -z "$url" ]; then
    echo "no update offers a download"
    record query FAILED
fi
echo "first update's package: ${url:-none}"

step "3/4 Download the package"
target="Z:${demo//\//\\}\\downloads\\$package"
saved="$demo/downloads/$package"
if [ -n "$url" ] && cli download "$url" "$target" &&
    [ "$(sha256sum "$saved" | cut -d' ' -f1)" = "$sha256" ]; then
    record download "ok, $(stat -c %s "$saved") bytes, SHA-256 as the catalog says"
else
    record download FAILED
fi

step "4/4 Install it"
if [ -n "$url" ] && cli install "$url"; then record install ok; else record install FAILED; fi

printf '\n'
failed=$(printf '%s\n' "${results[@]}" | grep -c FAILED)
summary=$(IFS=';'; echo "${results[*]}")
if [ "$failed" -eq 0 ]; then
    echo "demo: all four steps succeeded ($hits updates found; ${summary//;/; })"
    exit 0
fi
echo "demo: $failed step(s) failed (${summary//;/; })"
exit 1
