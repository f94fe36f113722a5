#!/usr/bin/env bash
# Installs the Debian 12 packages Tarvik needs, when missing.
#
#   scripts/install-deps.sh run   what building and running Tarvik needs (scripts/run.sh)
#   scripts/install-deps.sh       that and everything the tests, the package and the
#                                 screenshot need (scripts/test.sh, package.sh, …)
set -euo pipefail

# The compiler and CMake; Qt's Core, Gui, Widgets and DBus with the OpenGL headers Qt's
# own CMake files look for; xcb for the X11 hot keys; Qt's Wayland platform plugin.
run_packages=(
    cmake make g++ pkg-config
    qt6-base-dev libgl-dev libxcb1-dev qt6-wayland
)
# GoogleTest and clang's fuzzer runtime; a private X server, a window manager, a tray and
# tools to drive and photograph them; a private session bus for the desktop portal's fake;
# Debian's package checkers and systemd's unit checker; the ONVIF clients the tests replay.
test_packages=(
    python3 libgtest-dev clang libclang-rt-14-dev
    xvfb xauth xdotool x11-utils openbox trayer imagemagick curl
    dbus-daemon python3-dbus python3-gi
    lintian desktop-file-utils appstream systemd iproute2
    onvif-tools
)

case "${1:-all}" in
    run) packages=("${run_packages[@]}") ;;
    all)
        packages=("${run_packages[@]}" "${test_packages[@]}")
        # Node.js for the ONVIF client tests, unless the machine has one of its own already.
        command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
        ;;
    *)
        echo "usage: $0 [run]" >&2
        exit 1
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
