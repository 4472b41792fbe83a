#!/bin/sh
# Fails unless the plug-in library defines exactly its two entry points in its dynamic symbol
# table (plus nothing else of its own).
set -eu
lib="$1"
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
expected=$(printf '%s\n' CreateFusionComputeInfoObject \
  _Z24IsFusionStorageDatastoreRKN13VMInfoStructs14SDatastoreInfoE | sort)
if [ "$symbols" != "$expected" ]; then
  echo "unexpected dynamic symbols in $lib:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "exports OK: $(echo "$symbols" | tr '\n' ' ')"
