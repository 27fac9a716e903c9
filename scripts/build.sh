#!/usr/bin/env bash
# Configures and builds into a build folder: scripts/build.sh [folder] [cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}; shift || true
cmake -S "$here" -B "$here/$dir" -G Ninja "$@" >/dev/null
cmake --build "$here/$dir" -j "$(nproc)"
