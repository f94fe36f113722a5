#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its layout and metadata with Debian's
# own tools, then unpacks it into a temporary root and runs the installed program there on
# the default camera folder, as the postinst would leave it.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
passed=0
check() { passed=$((passed + 1)); }

(cd "$build_dir" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/tarvik_*.deb)
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
camera=$root/etc/tarvik/default

# Layout: the program in /usr/bin, the camera in /etc, nothing in /opt, the docs Debian wants.
for file in usr/bin/tarvik etc/tarvik/default/Config/MaxStep.ini etc/tarvik/default/html/Index.html \
    usr/share/tarvik/totalsteps.ini usr/share/tarvik/StepCount.ini usr/share/man/man1/tarvik.1.gz \
    usr/share/doc/tarvik/copyright usr/share/doc/tarvik/changelog.Debian.gz usr/share/doc/tarvik/README.md.gz \
    usr/share/icons/hicolor/48x48/apps/tarvik.png usr/share/icons/hicolor/scalable/apps/tarvik.svg \
    lib/systemd/system/tarvik@.service usr/sbin/tarvik-add-camera \
    usr/share/doc/tarvik/examples/Onvif.ini; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
[ ! -e "$root/opt" ] || fail "the package still installs into /opt"
add_camera=$root/usr/sbin/tarvik-add-camera
[ -x "$add_camera" ] || fail "tarvik-add-camera is not executable"
grep -qxF 'etc=${TARVIK_ETC:-/etc/tarvik}' "$add_camera" &&
    grep -qxF 'tarvik=${TARVIK_BIN:-/usr/bin/tarvik}' "$add_camera" &&
    ! grep -q '@TARVIK' "$add_camera" || fail "tarvik-add-camera does not default to the installed places"
[ "$(readlink "$root/usr/share/man/man8/tarvik-add-camera.8.gz")" = ../man1/tarvik.1.gz ] ||
    fail "man tarvik-add-camera does not lead to tarvik(1)"
check
# The position and the phase are state, reached through links; limits and pages are root's.
for state in totalsteps.ini StepCount.ini Presets.ini; do
    [ "$(readlink "$camera/Config/$state")" = "/var/lib/tarvik/default/$state" ] ||
        fail "Config/$state is not a link to the state in /var/lib/tarvik"
    grep -q "$state" "$work/control/conffiles" && fail "$state is a conffile"
done
for script in preinst postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no $script"
done
[ "$(grep -c '^/etc/tarvik/default/' "$work/control/conffiles")" -eq 19 ] ||
    fail "not every configuration file and page is a conffile: $(cat "$work/control/conffiles")"
writable=$(dpkg-deb -c "$deb" | awk '$1 !~ /^l/ && $1 ~ /^.....w|^........w/ {print $6}')
[ -z "$writable" ] || fail "writable by others than root: $writable"
grep -q '^Depends:.*libqt6core6 (>=.*qt6-wayland\|^Depends:.*qt6-wayland.*libqt6core6 (>=' \
    "$work/control/control" || fail "Depends not computed from the libraries: $(grep Depends "$work/control/control")"
check

# Debian's checkers.
lintian_output=$(lintian "$deb" 2>&1 | grep -E '^[EW]: ' || true)
[ -z "$lintian_output" ] || fail "lintian: $lintian_output"
desktop-file-validate "$root/usr/share/applications/tarvik.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null ||
    fail "metainfo: $(appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml)"
# The unit checked inside the unpacked root, with the system's own units and a shell beside it.
mkdir -p "$work/sysroot/bin"
cp -a "$root/." "$work/sysroot/"
cp /bin/sh "$work/sysroot/bin/"
cp -an /lib/systemd/system/. "$work/sysroot/lib/systemd/system/"
verify=$(systemd-analyze verify --root="$work/sysroot" --man=no tarvik@default.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=true "$root/lib/systemd/system/tarvik@.service" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' ||
    fail "systemd-analyze security: exposure ${exposure:-unknown}, more than 2.5"
check

# Another prefix: the files go where that tarvik looks for them.
prefix_build=$work/prefix-build
cmake -S "$(dirname "$0")/../.." -B "$prefix_build" -DCMAKE_INSTALL_PREFIX="$work/prefix" \
    -DTARVIK_TESTS=OFF >/dev/null
cmake --install "$prefix_build" --component camera >/dev/null
looks_in=$(grep -o 'TARVIK_DEFAULT_FOLDER=[^ ]*' "$prefix_build/compile_commands.json" | head -1 |
    tr -d '\\"' | cut -d= -f2)
[ "$looks_in" = "$work/prefix/etc/tarvik/default" ] || fail "tarvik looks in '$looks_in'"
[ -f "$looks_in/Config/MaxStep.ini" ] || fail "the camera did not go to $looks_in"
check

# --help touches nothing and needs no camera folder.
"$root/usr/bin/tarvik" --help | grep -q -- '--config DIR' || fail "--help"
check

# The man page names every option --help names, the tilt, and tarvik-add-camera; the service
# never runs on simulated coils.
man_source=$(gzip -dc "$root/usr/share/man/man1/tarvik.1.gz")
roff() { printf '%s' "$1" | sed 's/-/\\-/g'; }  # as the man page spells it: \- for -
options=$("$root/usr/bin/tarvik" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "--help names no option"
for word in $options Config/Tilt /turn/up /turn/down /turn/level Alt+Q Alt+A tarvik-add-camera; do
    grep -qF -- "$(roff "$word")" <<<"$man_source" || fail "the man page does not name $word"
done
grep -q '^\.BR\? tilt' <<<"$man_source" || fail "the man page does not give Gpio.ini's tilt line"
grep -q '^ExecStart=.* --require-coils' "$root/lib/systemd/system/tarvik@.service" ||
    fail "the service may run on simulated coils"
check

# The installed README opens with what the package put where, not with the build scripts,
# and the whole README follows.
readme=$(gzip -dc "$root/usr/share/doc/tarvik/README.md.gz")
source_readme=$(cat "$(dirname "$0")/../../README.md")
opening=${readme%"$source_readme"}
[ "$opening" != "$readme" ] && [ -n "$opening" ] ||
    fail "the installed README is not an opening followed by the whole README"
for phrase in "systemctl enable --now tarvik@default" /etc/tarvik/default/Config /var/lib/tarvik/default \
    "applications menu" "tarvik-add-camera cam2" /usr/share/doc/tarvik/examples/Onvif.ini; do
    grep -qF -- "$phrase" <<<"$opening" || fail "the installed README does not open with $phrase"
done
grep -q scripts/ <<<"$opening" && fail "the installed README opens with the build scripts"
check

# A second camera, made by tarvik-add-camera on the unpacked root, passes its own check before
# the service ever started it. The default camera's links point to the real /var/lib, where
# this root has nothing: copying them must not follow them.
add_camera_here() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TARVIK_ETC="$root/etc/tarvik" \
        TARVIK_STATE="$root/var/lib/tarvik" TARVIK_SHARE="$root/usr/share/tarvik" \
        TARVIK_BIN="${program:-$root/usr/bin/tarvik}" "$add_camera" "$@"
}
cam2=$root/etc/tarvik/cam2
state2=$root/var/lib/tarvik/cam2
added=$(add_camera_here cam2 8535 2>&1) || fail "tarvik-add-camera cam2 8535: $added"
grep -q 'TCP port 8535' <<<"$added" || fail "tarvik-add-camera did not end with cam2's check: $added"
for file in totalsteps.ini StepCount.ini Presets.ini; do
    [ "$(readlink "$cam2/Config/$file")" = "$state2/$file" ] ||
        fail "cam2's $file links to '$(readlink "$cam2/Config/$file")', not into $state2"
    cmp -s "$state2/$file" "$root/usr/share/tarvik/$file" || fail "cam2's first $file is not the shipped one"
    [ "$(stat -c %A "$state2/$file" | cut -c6)" = w ] || fail "cam2's $file is not group-writable"
    [ "$(readlink "$camera/Config/$file")" = "/var/lib/tarvik/default/$file" ] ||
        fail "the default camera's $file link was changed"
done
[ "$(stat -c %a "$state2")" = 2775 ] || fail "cam2's state folder is $(stat -c %a "$state2"), not 2775"
cmp -s "$cam2/Config/Port.ini" <(printf '8535\r\n') || fail "cam2's Port.ini: $(od -c "$cam2/Config/Port.ini")"
cmp -s "$cam2/Config/MaxStep.ini" "$camera/Config/MaxStep.ini" && [ -f "$cam2/html/Index.html" ] ||
    fail "cam2 is not a copy of the default camera"
refused() {  # expected message, then the arguments; tarvik-add-camera must refuse them
    local expected=$1 answer status=0
    shift
    answer=$(add_camera_here "$@" 2>&1) || status=$?
    [ "$status" -eq 1 ] && grep -qF -- "$expected" <<<"$answer" ||
        fail "tarvik-add-camera $* gave status $status: $answer"
}
refused "exists already" cam2 8536
cmp -s "$cam2/Config/Port.ini" <(printf '8535\r\n') || fail "a refused second cam2 changed the first"
refused "is not a camera name" ../cam3
refused "is not a camera name" -cam3
refused "is not a TCP port" cam3 65536
[ ! -e "$root/etc/cam3" ] && [ ! -e "$root/etc/tarvik/cam3" ] && [ ! -e "$root/etc/tarvik/-cam3" ] ||
    fail "a refused camera left a folder behind"
program=false refused "the check above failed" cam4
check

# The example Onvif.ini names every key tarvik knows (as its message for an unknown key lists
# them), and tarvik takes it as shipped and with every key's line uncommented.
example=$root/usr/share/doc/tarvik/examples/Onvif.ini
printf 'bogus = 1\n' >"$cam2/Config/Onvif.ini"
known=$("$root/usr/bin/tarvik" --config "$cam2" --check 2>&1 || true)
keys=$(sed -n 's/.*expected one of the keys \(.*\)$/\1/p' <<<"$known" | tr -d ',')
[ "$(wc -w <<<"$keys")" -ge 12 ] || fail "tarvik did not list the Onvif.ini keys: $known"
for key in $keys; do
    grep -qE "^#?$key = " "$example" || fail "the example Onvif.ini has no line for $key"
    grep -qF "\\fB$(roff "$key")\\fP" <<<"$man_source" || fail "the man page does not describe Onvif.ini's $key"
done
cp "$example" "$cam2/Config/Onvif.ini"
checked=$("$root/usr/bin/tarvik" --config "$cam2" --check 2>&1) || fail "the example as shipped: $checked"
sed -E 's/^#([a-z-]+ = )/\1/' "$example" >"$cam2/Config/Onvif.ini"
[ "$(grep -cE '^[a-z-]+ = ' "$cam2/Config/Onvif.ini")" -eq "$(wc -w <<<"$keys")" ] ||
    fail "the example does not hold each key once"
checked=$("$root/usr/bin/tarvik" --config "$cam2" --check 2>&1) ||
    fail "the example with every key: $checked"
grep -q 'ONVIF: port 8899, user admin' <<<"$checked" || fail "the example's keys were not read: $checked"
check

# The installed program on the default camera, its state where the postinst puts it (here
# inside the temporary root): setgid folder, files group-writable. It runs once as root and
# once as an ordinary member of the state's group, who must leave the group and mode as the
# service needs them.
state=$root/var/lib/tarvik/default
mkdir -p "$state"
for file in totalsteps.ini StepCount.ini; do
    install -m 0664 -g lp "$root/usr/share/tarvik/$file" "$state/$file"
    ln -sfn "$state/$file" "$camera/Config/$file"
done
chgrp lp "$state" && chmod 2775 "$state"
chmod 0755 "$work"
chmod u+w "$camera/Config/Port.ini"
printf '0\r\n' >"$camera/Config/Port.ini"  # a free port, which tarvik names at start-up
cd "$work"
run_camera() {  # turn, expected position, and the command that runs tarvik
    local turn=$1 expected=$2
    shift 2
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" "$root/usr/bin/tarvik" \
        --config "$camera" 2>"$work/err" &
    pid=$!
    port=""
    for _ in $(seq 200); do
        port=$(sed -n 's/^tarvik: listening on TCP port \([0-9]*\).*/\1/p' "$work/err")
        [ -n "$port" ] && break
        kill -0 "$pid" 2>/dev/null || fail "tarvik exited: $(cat "$work/err")"
        sleep 0.05
    done
    reply=$(curl -s -i "http://127.0.0.1:$port/turn/$turn" | head -1 | tr -d "\r")
    [ "$reply" = "HTTP/1.0 200 OK" ] || fail "unexpected reply: $reply"
    for _ in $(seq 400); do  # the end of the move is saved
        [ "$(cat "$state/totalsteps.ini")" = "$expected"$'\r' ] && break
        sleep 0.05
    done
    kill -TERM "$pid"
    wait "$pid" || fail "tarvik did not exit cleanly: $(cat "$work/err")"
    pid=""
}
run_camera right 50
grep -q "Config folder: $camera/Config" "$work/err" || fail "summary: $(cat "$work/err")"
[ "$(cat "$state/totalsteps.ini")" = $'50\r' ] ||
    fail "position not saved in the state folder: $(od -c "$state/totalsteps.ini") $(cat "$work/err")"
[ "$(cat "$state/StepCount.ini")" = $'3\r' ] || fail "phase not saved: $(cat "$state/StepCount.ini")"
run_camera left 0 setpriv --reuid=nobody --regid=nogroup --groups=lp --
for file in totalsteps.ini StepCount.ini; do
    [ -L "$camera/Config/$file" ] || fail "the save replaced the link $file"
    [ "$(stat -c %G:%a "$state/$file")" = lp:664 ] ||
        fail "$file is $(stat -c %U:%G:%a "$state/$file") after a group member's run"
done
[ "$(cat "$state/StepCount.ini")" = $'1\r' ] || fail "phase not saved by the member"
# What dpkg --verify would see: every packaged file but the edited port as shipped.
(cd "$root" && md5sum --quiet -c "$work/control/md5sums" 2>/dev/null) | grep -v 'Port.ini: FAILED' |
    grep . && fail "packaged files changed by running"
check
echo "package test: $passed passed, 0 failed"
