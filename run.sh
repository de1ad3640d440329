#!/usr/bin/env bash
# ./run.sh ARGS: installs what is missing, builds, and runs the updater with ARGS.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" build
exec "$top/build/Updater/updater" "$@"
