#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and starts the streaming server on its defaults.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" build
# Without a display the window cannot open; the server still runs, unseen.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: no display, so the window is not shown; end the server with Ctrl+C" >&2
    export QT_QPA_PLATFORM=offscreen
fi
exec "$here/build/vantrel" "$@"
