#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the programs and the tests need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev
  ffmpeg
  qt6-base-dev
  libcurl4-openssl-dev libxml2-dev
  libgtest-dev libgmock-dev
  python3
  xvfb jwm libx11-dev libxtst-dev  # the program under a real window manager in the tests
  libglib2.0-bin  # gio: the launcher's autostart entry started as a desktop session starts it
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
