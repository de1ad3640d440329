#!/usr/bin/env bash
# ./run.sh ARGS: installs what is missing, builds, and runs the updater with ARGS.
# ./run.sh: the same, then the demo of the tool's main job against emulated peers.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
# The demo needs the emulators of tools/: a tree configured without them gets them back.
emulators=()
if [ $# -eq 0 ] && [ -f "$top/build/CMakeCache.txt" ] \
   && ! grep -q '^QC_EMULATORS:BOOL=ON$' "$top/build/CMakeCache.txt"; then
  emulators=(-DQC_EMULATORS=ON)
fi
"$top/scripts/build.sh" build "${emulators[@]}"
# Without arguments: the tool's main job against emulated peers (scripts/demo.sh).
if [ $# -eq 0 ]; then
  exec "$top/scripts/demo.sh"
fi
exec "$top/build/Updater/updater" "$@"
