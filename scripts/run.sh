#!/usr/bin/env bash
# Installs what is missing, builds, and runs the programmer tool on simulated programmers
# (pass --ports DIR or other options to use real ones).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
exec build/src/vell-programmer-sim --help
