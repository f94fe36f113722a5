#!/usr/bin/env bash
# Tarvik's ONVIF services driven by libonvif's onvif-util (Debian's onvif-tools), a client that
# finds the camera by WS-Discovery, logs in with WS-Security (sending one token again for every
# call of its session) and reads the profile and the stream address. Run inside a network
# namespace of its own (see tests/CMakeLists.txt): port 80 and multicast on loopback are free
# there, and nothing reaches a real network.
#
#   onvif_util_test.sh TARVIK_BINARY SAMPLE_HTML
set -euo pipefail
binary=$1 html=$2
ip link set lo up multicast on
ip route add 224.0.0.0/4 dev lo

dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
cp "$binary" "$dir/tarvik"
cp -r "$html" "$dir/html"
mkdir "$dir/Config"
for setting in Lpt=378 Middlestep=0 MaxStep=1000 MinStep=-1000 totalsteps=0 StepCount=1 \
    BigStep=50 Port=8534; do
    printf '%s\r\n' "${setting#*=}" >"$dir/Config/${setting%%=*}.ini"
done
printf 'port = 80\nuser = admin\npassword = secret\nwidth = 1280\nheight = 720\nstream = rtsp://10.0.0.5:554/s1\n' \
    >"$dir/Config/Onvif.ini"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$dir/tarvik" 2>"$dir/err" &
pid=$!
for _ in $(seq 400); do grep -q '^tarvik: ONVIF: port 80' "$dir/err" && break; sleep 0.025; done
# WS-Security tokens are taken from 5 s after a start on.
sleep 6

session() {  # password commands...: what onvif-util prints
    local password=$1; shift
    printf '%s\n' "$@" quit | timeout 60 onvif-util -u admin -p "$password" 127.0.0.1 2>&1 || true
}
fail() { echo "FAIL: $*"; echo "--- tarvik:"; cat "$dir/err"; exit 1; }

out=$(session secret 'get profile' 'get rtsp')
echo "$out"
grep -q 'found host: 127.0.0.1' <<<"$out" || fail "onvif-util did not find the camera"
grep -q 'name: *tarvik' <<<"$out" || fail "no device name"
grep -qE 'Width: +1280' <<<"$out" && grep -qE 'Height: +720' <<<"$out" || fail "no video size"
grep -q 'rtsp://10.0.0.5:554/s1' <<<"$out" || fail "no stream address"
grep -q 'NotAuthorized' <<<"$out" && fail "a call of the session was refused"

out=$(session wrong 'get rtsp')
grep -q 'rtsp://' <<<"$out" && fail "the wrong password read the stream address"
grep -q 'was refused: wrong user or password' "$dir/err" || fail "the wrong password was not said"

kill -TERM "$pid"
wait "$pid" || fail "tarvik ended with status $?"
echo "onvif-util: login, profile, stream address: ok"
