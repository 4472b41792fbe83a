#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer. Set FC_SKIP_ASAN=1 to skip that second run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
# Logs of the code under test go to the build tree, not to the machine's default folder.
export FC_LOG_DIR="$PWD/build/test-logs"
mkdir -p "$FC_LOG_DIR"
status=0
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600) || status=$?
if [ "${FC_SKIP_ASAN:-0}" != 1 ]; then
  scripts/build.sh build-asan -DFC_SANITIZE=address
  export FC_LOG_DIR="$PWD/build-asan/test-logs"
  mkdir -p "$FC_LOG_DIR"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j"$(nproc)" -L unit --timeout 600) || status=$?
fi
exit $status
