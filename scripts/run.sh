#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and starts the streaming server on its defaults.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" build
exec "$here/build/vantrel" "$@"
