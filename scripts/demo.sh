#!/usr/bin/env bash
# scripts/demo.sh: the updater's main job against emulated peers, inside a private network
# namespace of its own (nothing reaches the machine's network): the search over TCP/IP, a
# download from the update server, the update of the running module, and the module found
# again with its new build. Needs root for the namespace; run through ./run.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${QC_DEMO_INSIDE:-}" != 1 ]; then
  exec unshare -n env QC_DEMO_INSIDE=1 "$0" "$@"
fi

# Loopback with a second address and multicast, so the search has an interface to go out on.
ip link set lo up
ip addr add 127.0.0.2/8 dev lo
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo

work=$(mktemp -d /tmp/qc_demo_XXXXXX)
peers=""
cleanup() {
  if [ -n "$peers" ]; then kill "$peers" 2>/dev/null || true; wait "$peers" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$top/build/tools/update_demo" --dir "$work" > "$work/peers.txt" &
peers=$!
for _ in $(seq 50); do
  grep -q '^url ' "$work/peers.txt" 2>/dev/null && break
  sleep 0.1
done
serial=$(sed -n 's/^serial //p' "$work/peers.txt")
url=$(sed -n 's/^url //p' "$work/peers.txt")
if [ -z "$url" ]; then
  echo "demo: the emulated peers did not start" >&2
  exit 1
fi

status=0
step() {
  echo
  echo "\$ updater $*"
  "$top/build/Updater/updater" "$@" -i "$work/store" || status=1
}
step -D -t TCP
step -G -d "$serial" -u "$url"
step -U -d "$serial" -u "$url"
# The module is back after its reboot, running the new build.
sleep 1
step -D -t TCP
exit $status
