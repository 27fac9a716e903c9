#!/usr/bin/env bash
# Installs the launcher and the streaming server into a folder:
#
#   scripts/install.sh PREFIX
#
#   PREFIX/tarnwick                the launcher
#   PREFIX/files/vantrel           the streaming server
#   PREFIX/files/tskill            ends programs by image name
#   PREFIX/HKEY_LOCAL_MACHINE.reg  "InstallDir" = PREFIX with its trailing "/"
#
# usbhostfs, nethostfs and sockettest are not part of this project; put them
# into PREFIX/files/ yourself. Builds into build/ first (BUILD_DIR=... for another).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: scripts/install.sh PREFIX" >&2
  exit 2
fi
build_dir=${BUILD_DIR:-build}
bash "$here/scripts/build.sh" "$build_dir"
build="$here/$build_dir"
for program in launcher/tarnwick vantrel launcher/tskill; do
  if [ ! -x "$build/$program" ]; then
    echo "install: $build/$program is missing (is the build made with -DVANTREL_BUILD_GUI=ON?)" >&2
    exit 1
  fi
done

mkdir -p "$1/files"
# The launcher compares "InstallDir" with its folder as the system resolves it.
prefix=$(cd "$1" && pwd -P)
install -m 0755 "$build/launcher/tarnwick" "$prefix/tarnwick"
install -m 0755 "$build/vantrel" "$prefix/files/vantrel"
install -m 0755 "$build/launcher/tskill" "$prefix/files/tskill"

# The machine-wide value, written whole under a temporary name and renamed.
escaped=$(printf '%s/' "$prefix" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')
registry="$prefix/HKEY_LOCAL_MACHINE.reg"
temp=$(mktemp "$prefix/.HKEY_LOCAL_MACHINE.reg.XXXXXX")
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\quennick\\Tarnwick]\n"InstallDir"="%s"\n' \
  "$escaped" >"$temp"
chmod 0644 "$temp"
mv -f "$temp" "$registry"

echo "Installed into $prefix. Put usbhostfs, nethostfs and sockettest into $prefix/files/,"
echo "then start the launcher with: $prefix/tarnwick"
