#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the screenshots need, and any given
# as arguments, when missing.
set -euo pipefail
pkgs=(cmake g++ ninja-build ccache qt6-base-dev qt6-base-dev-tools qt6-serialport-dev zlib1g-dev libgl-dev
      qt6-svg-dev xvfb xauth fonts-dejavu-core clang libclang-rt-14-dev "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
