#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
if [ -x build/bin/fcbackup ]; then
  exec build/bin/fcbackup demo
else
  exec build/bin/fcplugin-probe build/lib/libFusionComputeInfo.so
fi
