#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
if [ -x build/bin/fcbackup ]; then
  exec build/bin/fcbackup demo
fi

# Until the backup host exists: start the simulator with its demo inventory on 127.0.0.1, then
# load the plug-in as the agent does (dlopen, factory, Init, Connect) and browse the VMs view.
work=$(mktemp -d /tmp/fcdemo.XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export FC_LOG_DIR="$work/logs"
build/bin/fcsim --seed --port 0 --state "$work/state" > "$work/fcsim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^fcsim: running' "$work/fcsim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/fcsim.out"; exit 1; }
  sleep 0.1
done
cat "$work/fcsim.out"
url=$(sed -n 's/^fcsim: management service //p' "$work/fcsim.out")
user=$(sed -n 's/^fcsim: user \([^ ]*\) password .*/\1/p' "$work/fcsim.out")
export FC_PASSWORD=$(sed -n 's/^fcsim: user [^ ]* password //p' "$work/fcsim.out")
export FC_BRIDGE_CAFILE=$(sed -n 's/^fcsim: CA file //p' "$work/fcsim.out")
echo
build/bin/fcplugin-probe build/lib/libFusionComputeInfo.so --url "$url" --user "$user"
