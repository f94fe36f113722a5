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
    lib/systemd/system/tarvik@.service; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
[ ! -e "$root/opt" ] || fail "the package still installs into /opt"
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
