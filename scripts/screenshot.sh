#!/usr/bin/env bash
# Takes a screenshot of Tarvik with the sample configuration on a private X server, after a
# few web requests, a chat message and a move. It goes to FILE (screenshot.png in a new
# temporary folder unless given); --update-docs writes docs/screenshot.png instead.
#
#   scripts/screenshot.sh [--output FILE] [--update-docs]
set -euo pipefail
cd "$(dirname "$0")/.."
shot=""
while [ $# -gt 0 ]; do
    case $1 in
        --output) shot=$2; shift 2 ;;
        --update-docs) shot=docs/screenshot.png; shift ;;
        *) echo "usage: scripts/screenshot.sh [--output FILE] [--update-docs]" >&2; exit 1 ;;
    esac
done
[ -n "$shot" ] || shot=$(mktemp -d)/screenshot.png
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build --target tarvik -j "$(nproc)"

work=$(mktemp -d)
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; }
pids=()
trap cleanup EXIT
cp build/app/tarvik "$work/" && cp -r sample/Config sample/html "$work/"
printf '0\r\n' >"$work/Config/Port.ini"  # a free port, which Tarvik names at start-up
# ONVIF on a free port, for the presets box.
onvif_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'port = %s\ndiscovery = off\n' "$onvif_port" >"$work/Config/Onvif.ini"

# Xvfb picks a free display and writes its number once it is ready.
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=:$(cat "$work/display")
export DISPLAY QT_QPA_PLATFORM=xcb
openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5
"$work/tarvik" 2>"$work/err" & pids+=($!)
port=""
for _ in $(seq 50); do
    port=$(sed -n 's/^tarvik: listening on TCP port \([0-9]*\).*/\1/p' "$work/err")
    [ -n "$port" ] && curl -s "http://127.0.0.1:$port/" >/dev/null && break
    sleep 0.1
done
for path in / /turn/right /chat?Camera+on+the+north+gate /turn/right /turn/left \
    /chat?Looks+good+from+here /turn/reset; do
    curl -s --http0.9 "http://127.0.0.1:$port$path" >/dev/null
    sleep 0.25
done
# A preset saved over ONVIF, as an NVR would.
curl -s -o /dev/null "http://127.0.0.1:$onvif_port/onvif/ptz_service" --data-binary \
    '<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body><SetPreset xmlns="http://www.onvif.org/ver20/ptz/wsdl"><ProfileToken>profile_1</ProfileToken><PresetName>home</PresetName></SetPreset></s:Body></s:Envelope>'
sleep 0.5
window=$(xdotool search --onlyvisible --name '^Tarvik v[0-9.]*$' | head -1)
frame=$(xwininfo -children -id "$window" | awk '/Parent window id/ {print $4}')
import -window "$frame" "$shot"
echo "screenshot written to $shot"
