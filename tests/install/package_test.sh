#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a temporary root and starts the installed
# Tarvik through its link: it must find Config beside the real executable and save there.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build_dir" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tarvik_*.deb)
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

for file in usr/share/applications/tarvik.desktop usr/share/icons/hicolor/32x32/apps/tarvik.png \
    opt/tarvik/html/Index.html opt/tarvik/Config/totalsteps.ini; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
[ -L "$root/usr/bin/tarvik" ] || fail "usr/bin/tarvik is not a link"
grep -qx "/opt/tarvik/Config/totalsteps.ini" "$work/control/conffiles" ||
    fail "the position file is not a conffile"
[ "$(grep -c '^/opt/tarvik/Config/' "$work/control/conffiles")" -eq 8 ] ||
    fail "not every Config file is a conffile"
grep -q '^Exec=tarvik$' "$root/usr/share/applications/tarvik.desktop" || fail "desktop entry"

port=$("$(dirname "$0")/../../scripts/free-port")
printf '%s\r\n' "$port" >"$root/opt/tarvik/Config/Port.ini"
cd "$work"  # somewhere else entirely: the link alone must lead Tarvik to its files
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$root/usr/bin/tarvik" 2>"$work/err" &
pid=$!
for _ in $(seq 200); do
    curl -s "http://127.0.0.1:$port/" >/dev/null 2>&1 && break
    kill -0 "$pid" 2>/dev/null || fail "tarvik exited: $(cat "$work/err")"
    sleep 0.05
done
reply=$(curl -s -i "http://127.0.0.1:$port/turn/right" | head -1 | tr -d "\r")
[ "$reply" = "HTTP/1.0 200 OK" ] || fail "unexpected reply: $reply"
for _ in $(seq 400); do
    [ "$(cat "$root/opt/tarvik/Config/totalsteps.ini")" = $'50\r' ] && break
    sleep 0.05
done
kill -TERM "$pid"
wait "$pid" || fail "tarvik did not exit cleanly"
pid=""
[ "$(cat "$root/opt/tarvik/Config/totalsteps.ini")" = $'50\r' ] ||
    fail "position not saved beside the real executable: $(od -c "$root/opt/tarvik/Config/totalsteps.ini")"
echo "package test: 1 passed, 0 failed"
