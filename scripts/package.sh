#!/usr/bin/env bash
# Builds the Debian package vell-usb-programmer_<version>_<arch>.deb into ${BUILD_DIR:-build}
# with CPack (runtime dependencies computed from the binaries by dpkg-shlibdeps), then lists
# its contents and runs lintian on it. Installs what it needs, like the other scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --demo dpkg-dev file lintian
dir=${BUILD_DIR:-build}
bash scripts/build.sh
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/vell-usb-programmer_*.deb)
echo "$deb"
dpkg-deb -f "$deb"
dpkg-deb -c "$deb"
# lintian's verdict: any error fails the script.
lintian --fail-on error --tag-display-limit 0 "$deb"
