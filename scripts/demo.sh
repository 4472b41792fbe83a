#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a backup, an incremental and a restore
# against the simulator inside fcbackup, verified byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/bin/fcbackup demo
