#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz and runs each for a bounded
# time on a copy of its seed corpus (fuzz/corpus/<target>), so that the repository's corpus
# stays as it is. Exits non-zero when a target finds a crash, a leak or undefined behaviour;
# the input that did it is kept in build-fuzz/artifacts/.
#   FC_FUZZ_SECONDS  seconds per target (default 30)
#   FC_FUZZ_TARGETS  the targets to run (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null 2>&1; then
  echo "Installing: clang"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang
fi
seconds=${FC_FUZZ_SECONDS:-30}
targets=${FC_FUZZ_TARGETS:-"fuzz_cna_client fuzz_cna_server fuzz_fs_parser fuzz_cbt_bitmap
  fuzz_bridge_records fuzz_config fuzz_manifest"}
generator=()
command -v ninja >/dev/null 2>&1 && [ ! -f build-fuzz/CMakeCache.txt ] && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFC_BUILD_FUZZ=ON -DFC_BUILD_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$(nproc)" --target $targets

work=$(mktemp -d "${TMPDIR:-/tmp}/fcbackup-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/artifacts
status=0
for t in $targets; do
  mkdir -p "$work/$t"
  cp fuzz/corpus/"$t"/* "$work/$t"/
  echo "Fuzzing $t for ${seconds}s"
  if ! build-fuzz/fuzz/"$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=0 -artifact_prefix="build-fuzz/artifacts/$t-" \
      "$work/$t" >"$work/$t.log" 2>&1; then
    tail -n 40 "$work/$t.log"
    echo "$t failed; the input is in build-fuzz/artifacts/"
    status=1
  fi
done
exit $status
