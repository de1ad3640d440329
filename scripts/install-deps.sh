#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those still missing.
set -euo pipefail
pkgs=(
  cmake ninja-build g++ clang pkg-config
  # clang only recommends its sanitizer and fuzzer runtimes, and recommends are not installed.
  libclang-rt-14-dev
  libusb-1.0-0-dev libczmq-dev libzmq3-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev libudev-dev
  libgtest-dev libgmock-dev
  umockdev libumockdev-dev iproute2 util-linux strace
  ca-certificates libssl-dev
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not root: run as root, or install them: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
