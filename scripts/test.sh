#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs the whole test suite.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" build
cd "$here/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
