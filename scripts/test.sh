#!/usr/bin/env bash
# Builds and runs every test under each preset named (default: dev).
#   scripts/test.sh            # dev
#   scripts/test.sh dev asan tsan none   # what CI runs
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- dev
# Only a backend folder may see a sound server's headers.
if grep -rnE '#include <pulse/' src --include='*.h' --include='*.cpp' | grep -v '^src/platform/pulse/'; then
  echo "a sound server header outside src/platform/pulse" >&2
  exit 1
fi
for preset in "$@"; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j "$(nproc)"
done
