#!/usr/bin/env bash
# ./run.sh ARGS: installs what is missing, builds, and runs the updater with ARGS.
# ./run.sh: the same, then the demo of the tool's main job against emulated peers.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" build
# Without arguments: the tool's main job against emulated peers (scripts/demo.sh).
if [ $# -eq 0 ]; then
  exec "$top/scripts/demo.sh"
fi
exec "$top/build/Updater/updater" "$@"
