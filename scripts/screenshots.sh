#!/usr/bin/env bash
# Builds the tool if needed and writes PNGs of the search window and the main window (as
# shown, after a load, after programming the targets; the last two also at the window's minimum
# size and at 1280x1000) into screenshots/, running on simulated programmers without a display.
# The settings file is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
fi
cmake --build "$dir" --target vell-usb-programmer vell-programmer-sim -j "$(nproc)"

# The browser opens at the home folder when nothing is remembered: give it one with the
# example program file in it.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
cp examples/demo-board.bin examples/Config.txt "$home"/ 2>/dev/null ||
  head -c 4096 /dev/urandom >"$home/demo-board.bin"

out=$PWD/screenshots
rm -rf "$out"
shoot() { # shoot PROGRAMMERS FOLDER
  HOME=$home QT_QPA_PLATFORM=offscreen timeout 90 \
    "$dir/src/vell-usb-programmer" --simulate "$1" --screenshot "$2" 2>/dev/null
}
shoot 2 "$out"
shoot 1 "$out/one-programmer"
shoot 4 "$out/four-programmers"

# Three programmers behind a simulator process, the second failing its target board: the
# image line and the tallies with a failure.
ports=$(mktemp -d)
"$dir/src/vell-programmer-sim" --ports "$ports" COM1 COM2:targeterr=10 COM3:firstloaderr=3 >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$home" "$ports"' EXIT
for _ in $(seq 50); do [ -e "$ports/COM3" ] && break; sleep 0.1; done
HOME=$home QT_QPA_PLATFORM=offscreen timeout 90 \
  "$dir/src/vell-usb-programmer" --ports "$ports" --screenshot "$out/one-fails" 2>/dev/null
kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true

# Four programmers with the long error texts, programmed 100 times: the window at its minimum
# size and at 1280x1000 with three-digit tallies.
fast=prog=0,verify=0,interval=0
"$dir/src/vell-programmer-sim" --ports "$ports" COM1:$fast COM2:loaderr=3,$fast \
  COM3:targeterr=10,$fast COM4:targeterr=11,$fast >/dev/null &
sim=$!
for _ in $(seq 50); do [ -e "$ports/COM4" ] && break; sleep 0.1; done
HOME=$home QT_QPA_PLATFORM=offscreen timeout 200 \
  "$dir/src/vell-usb-programmer" --ports "$ports" --screenshot "$out/long-errors" \
  --screenshot-boards 100 2>/dev/null
find "$out" -name '*.png' | sort
