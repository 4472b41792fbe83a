#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh <build dir> [extra cmake arguments]
# Ninja builds the tree when it is installed and the tree is new or was made with it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
generator=()
if command -v ninja >/dev/null 2>&1 &&
   { [ ! -f "$dir/CMakeCache.txt" ] || grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; }; then
  generator=(-G Ninja)
fi
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
