#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests (the disk access
# service, the backup host's parallel disks) under ThreadSanitizer, and last the fuzz targets
# for a short while each (scripts/fuzz.sh). FC_SKIP_ASAN=1, FC_SKIP_TSAN=1 and FC_SKIP_FUZZ=1
# skip those runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
# Logs of the code under test go to the build tree, not to the machine's default folder.
export FC_LOG_DIR="$PWD/build/test-logs"
mkdir -p "$FC_LOG_DIR"
status=0
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600) || status=$?
if [ "${FC_SKIP_TSAN:-0}" != 1 ]; then
  # Only what the threaded tests need: the race detector tree is not a second full build.
  generator=()
  command -v ninja >/dev/null 2>&1 && [ ! -f build-tsan/CMakeCache.txt ] && generator=(-G Ninja)
  cmake -S . -B build-tsan "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFC_SANITIZE=thread >/dev/null
  cmake --build build-tsan -j"$(nproc)" --target test_diskinfo_service test_agent_host test_repository
  mkdir -p build-tsan/test-logs
  for t in test_diskinfo_service test_agent_host test_repository; do
    echo "ThreadSanitizer: $t"
    FC_LOG_DIR="$PWD/build-tsan/test-logs" TSAN_OPTIONS=halt_on_error=1 \
      build-tsan/bin/$t --gtest_brief=1 || status=$?
  done
fi
if [ "${FC_SKIP_ASAN:-0}" != 1 ]; then
  # Only the unit tests run here; the integration executables are not built in this tree.
  scripts/build.sh build-asan -DFC_SANITIZE=address
  export FC_LOG_DIR="$PWD/build-asan/test-logs"
  mkdir -p "$FC_LOG_DIR"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j"$(nproc)" -L unit --timeout 600) || status=$?
fi
if [ "${FC_SKIP_FUZZ:-0}" != 1 ]; then
  scripts/fuzz.sh || status=$?
fi
exit $status
