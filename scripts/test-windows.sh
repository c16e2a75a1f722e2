#!/usr/bin/env bash
# The Windows binary: cross-builds it with MinGW-w64, runs its unit tests under Wine, then the
# protocol tests and the real-audio tests against it, under Wine, from a Linux build (preset wine).
# Needs the packages of scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the WASAPI backend may see Windows' audio headers.
if grep -rnE '#include <(mmdeviceapi|audioclient|audiopolicy|mmreg)\.h>' src --include='*.h' --include='*.cpp' |
  grep -v '^src/platform/wasapi/'; then
  echo "a Windows audio header outside src/platform/wasapi" >&2
  exit 1
fi
echo "=== windows ==="
# Wine's prefix is made once, here, so that its time (10 s on a warm machine, more on a cold one) is not
# counted against a test or a test program's discovery.
if ! time timeout 600 scripts/wine.sh; then
  echo "Wine's prefix was not made within 10 minutes" >&2
  exit 1
fi
cmake --preset windows
cmake --build --preset windows -j "$(nproc)"
ctest --preset windows -j "$(nproc)"
echo "=== wine ==="
cmake --preset wine
cmake --build --preset wine -j "$(nproc)"
ctest --preset wine
