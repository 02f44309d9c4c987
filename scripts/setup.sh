#!/usr/bin/env bash
# Installs Tunewell's build and test dependencies from Debian packages.
# Idempotent: when every package is already installed it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libcurl4-openssl-dev ca-certificates nlohmann-json3-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libsdl2-dev
  googletest libgtest-dev libgmock-dev ffmpeg
  xvfb xauth x11-apps fonts-dejavu-core fonts-liberation2 openssl
  dbus-daemon dbus-bin trayer dunst openbox xdotool x11-utils playerctl nftables
  dpkg-dev file desktop-file-utils appstream at-spi2-core python3-pyatspi gir1.2-atspi-2.0
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_opts=(-o DPkg::Lock::Timeout=600 -y -q)
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get "${apt_opts[@]}" update
$sudo apt-get "${apt_opts[@]}" install --no-install-recommends "${missing[@]}"
