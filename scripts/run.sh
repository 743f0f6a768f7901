#!/usr/bin/env bash
# The demo: installs what is missing, builds, and runs the programmer tool on four simulated
# programmers with the bundled sample program file (examples/) already in the file browser:
# double-click demo-board.bin, then press "Transfer Programmer File to Target Board".
# Without a display it runs the same load and program-target headless, showing progress.
# With arguments it runs the tool with exactly those instead (e.g. --ports DIR, --list-ports).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh --demo
bash scripts/build.sh
app="$root/${BUILD_DIR:-build}/src/vell-usb-programmer"

# The tool keeps a small port file per programmer in its working folder; keep them out of
# the source tree.
work="$root/${BUILD_DIR:-build}/demo"
mkdir -p "$work"
cd "$work"

if [ $# -gt 0 ]; then
  exec "$app" "$@"
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting the windows on 4 simulated programmers; double-click demo-board.bin to load it."
  exec "$app" --simulate 4 --folder "$root/examples"
fi
echo "No display: loading examples/demo-board.bin into 4 simulated programmers and programming"
echo "their target boards, headless."
exec "$app" --simulate 4 --load "$root/examples/demo-board.bin" --program-target
