#!/usr/bin/env bash
# Builds and runs every test under each preset named (default: dev).
#   scripts/test.sh            # dev
#   scripts/test.sh dev asan   # what CI runs
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- dev
for preset in "$@"; do
  echo "=== $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j "$(nproc)"
done
