#!/usr/bin/env bash
# Installs the Debian packages a command needs, when missing, by the names of the release it
# runs on (Debian 12 and 13 are built and tested), and any packages given as arguments.
#   deps.sh --demo [PKG...]   the build tools, Qt and libpq: enough to build and run the tool
#   deps.sh [PKG...]          everything the tests, the sanitizers, the fuzz targets, the
#                             screenshots and the checks need besides: clang with its own
#                             runtime (libFuzzer), clang-format, MinGW-w64's g++ (the Windows
#                             headers check) and PostgreSQL's server (`postgresql`), which the
#                             line database's tests start themselves in a temporary folder
set -euo pipefail
demo=false
if [ "${1:-}" = "--demo" ]; then
  demo=true
  shift
fi
pkgs=(cmake g++ ninja-build ccache qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev zlib1g-dev
      libssl-dev libpq-dev
      libgl-dev)
$demo || pkgs+=(xvfb xauth fonts-dejavu-core clang clang-format g++-mingw-w64-x86-64-posix postgresql)
pkgs+=("$@")

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=false
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if ! $updated; then
    $sudo apt-get update -qq
    updated=true
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
install_missing "${pkgs[@]}"

if ! $demo; then
  # libFuzzer and the sanitizers' runtime come with the clang release the `clang` package
  # depends on (clang-14 on Debian 12, clang-19 on Debian 13): ask dpkg which one it is.
  major=$(dpkg-query -W -f='${Depends}' clang | grep -oE '(^|, )clang-[0-9]+' | grep -oE '[0-9]+' | head -n 1)
  if [ -z "$major" ]; then
    echo "deps.sh: cannot tell which clang release the clang package installs" >&2
    exit 1
  fi
  install_missing "libclang-rt-$major-dev"
fi
