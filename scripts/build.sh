#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures DIR (Ninja) when it is new or options are given,
# then builds it. CMAKE_BUILD_PARALLEL_LEVEL sets the jobs (default: every processor).
set -euo pipefail
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$top/$dir/build.ninja" ] || [ $# -gt 0 ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >&2
fi
cmake --build "$top/$dir" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" >&2
