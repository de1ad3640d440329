#!/usr/bin/env bash
# check_install.sh BUILD_DIR CXX: installs BUILD_DIR into a scratch prefix, then builds and runs
# a program against the installed library through pkg-config alone.
set -euo pipefail
build=$1 cxx=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d /tmp/qc_install_XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null
test -x "$prefix/bin/updater" || { echo "no bin/updater"; exit 1; }
pc=$(dirname "$(find "$prefix" -name quillcore2.pc)")
flags=$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs quillcore2)
# shellcheck disable=SC2086
"$cxx" -std=c++17 "$here/consumer.cpp" $flags -o "$prefix/consumer"
"$prefix/consumer"
