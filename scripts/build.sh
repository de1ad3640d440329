#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures DIR once (Ninja) and builds it.
set -euo pipefail
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$top/$dir/build.ninja" ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >&2
fi
cmake --build "$top/$dir" -j "$(nproc)" >&2
