#!/usr/bin/env bash
# The main job: the whole life of an update, told step by step. It starts the
# reference pipeline server with the sample catalog and a sample package
# (scripts/sample-pipeline.sh), points the library at it through the registry
# of a demo Wine prefix, and runs korvel-cli through ping, query, download and
# install. The publisher signs the package and the host trusts only its key:
# the copy checked in step 3 installs, a tampered copy is refused before its
# installer can start. Exit status 0 only when every step did what it should;
# nothing is left running.
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

# The publisher signs the package with its key; the catalog then states the
# signed package's size and SHA-256, and the server, which reads its catalog
# when it starts, is started again with it. It also serves the demo's
# downloads folder, so that the copy checked in step 3 is the one installed.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$demo/publisher.pem" 2>/dev/null
keys=$(openssl pkey -in "$demo/publisher.pem" -pubout -outform DER | base64 -w0)
"$root/tools/package-signing/sign-package.py" --key "$demo/publisher.pem" \
    "$demo/pipeline/packages/$package" >/dev/null || exit 1
"$root/scripts/catalog-for-packages.py" "$root/tools/pipeline-server/sample-catalog.json" \
    "$demo/pipeline/packages" "$demo/pipeline/catalog.json"
"$root/scripts/pipeline-server.sh" stop "$demo/pipeline/server"
"$root/scripts/pipeline-server.sh" start "$demo/pipeline/server" \
    --catalog "$demo/pipeline/catalog.json" --packages "$demo/pipeline/packages" \
    --files "$demo/downloads" --record-dir "$demo/records" >/dev/null || exit 1
base="http://127.0.0.1:$(cat "$demo/pipeline/server/port")"
pipeline="$base/lumq/pipeline"

export WINEPREFIX="$root/build/wine-demo" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
"$root/scripts/wine-prefix.sh" "$WINEPREFIX"
wine reg add 'HKLM\SOFTWARE\Talvessa\Pipeline' /v S_URL /d "$pipeline" /f >/dev/null 2>&1
# The host trusts the publisher's key: only packages it signed install.
wine reg add 'HKLM\SOFTWARE\Talvessa\Pipeline' /v PackageKeys /d "$keys" /f >/dev/null 2>&1
# What the sample installer leaves when it has run.
receipt() { find "$WINEPREFIX/drive_c/users" -name korvel-demo-receipt.txt 2>/dev/null; }

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

step "1/5 Ping the pipeline server"
if cli ping; then record ping ok; else record ping FAILED; fi

step "2/5 Ask for updates: $query"
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

step "3/5 Download the package"
target="Z:${demo//\//\\}\\downloads\\$package"
saved="$demo/downloads/$package"
if [ -n "$url" ] && cli download "$url" "$target" &&
    [ "$(sha256sum "$saved" | cut -d' ' -f1)" = "$sha256" ]; then
    record download "ok, $(stat -c %s "$saved") bytes, SHA-256 as the catalog says"
else
    record download FAILED
fi

step "4/5 Install the copy just checked (signed by the publisher)"
receipt | xargs -r rm -f
if [ -s "$saved" ] && cli install "$base/s/file=$package/$package" && [ -n "$(receipt)" ]; then
    record install "ok, signature verified"
else
    record install FAILED
fi

step "5/5 Install a tampered copy"
tampered="tampered-$package"
cp "$saved" "$demo/downloads/$tampered" 2>/dev/null &&
    printf 'X' | dd of="$demo/downloads/$tampered" bs=1 seek=100000 conv=notrunc 2>/dev/null
receipt | xargs -r rm -f
output=$(run_cli install "$base/s/file=$tampered/$tampered" 2>&1 | tr -d '\r')
printf '%s\n' "$output"
if [[ $output == *0x80006003* && $output != *"Running the installer"* ]] && [ -z "$(receipt)" ]; then
    echo "refused: the installer was not started"
    record tampered "refused with 0x80006003, installer not started"
else
    record tampered FAILED
fi

printf '\n'
failed=$(printf '%s\n' "${results[@]}" | grep -c FAILED)
summary=$(IFS=';'; echo "${results[*]}")
if [ "$failed" -eq 0 ]; then
    echo "demo: all five steps succeeded ($hits updates found; ${summary//;/; })"
    exit 0
fi
echo "demo: $failed step(s) failed (${summary//;/; })"
exit 1
