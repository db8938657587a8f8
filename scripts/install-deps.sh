#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Kovon40 need, when they are
# missing. Needs root (apt-get).
set -euo pipefail
packages=(
  cmake g++ make pkg-config
  libboost-thread-dev libusb-1.0-0-dev libpng-dev libzip-dev
  libopencv-imgproc-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libaravis-dev aravis-tools libxml2-utils
  clang iproute2
  umockdev libumockdev-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
