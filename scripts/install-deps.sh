#!/usr/bin/env bash
# Installs the Debian 12 packages Tarvik needs to build, run and test, when missing.
set -euo pipefail

packages=(
    cmake make g++ pkg-config python3
    qt6-base-dev libgl-dev libxcb1-dev qt6-wayland
    libgtest-dev clang libclang-rt-14-dev
    xvfb xauth xdotool x11-utils openbox trayer imagemagick curl
    dbus-daemon python3-dbus python3-gi
    lintian desktop-file-utils appstream systemd iproute2
    onvif-tools
)
# Node.js for the ONVIF client tests, unless the machine has one of its own already.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

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
