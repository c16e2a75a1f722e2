#!/usr/bin/env bash
# Installs everything the tool, its tests and its benchmarks need on Debian 12, Debian 13 or Ubuntu,
# the cross-build of the Windows binary and Wine to test it included. The names are the same on each
# release; libwebrtc-audio-processing-dev brings the release's own line of WebRTC's audio processing
# (0.3 on Debian 12 and Ubuntu 22.04, 1.x on Debian 13 and Ubuntu 24.04), and the build takes either.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libpulse-dev libwebrtc-audio-processing-dev libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  pulseaudio pulseaudio-utils pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  sox espeak-ng python3 python3-venv python3-pip python3-numpy pocketsphinx pocketsphinx-en-us
  groff-base lintian dpkg-dev man-db
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev googletest debootstrap
)
# Wine runs the Windows binary's tests; installed as Debian recommends it.
wine_packages=(wine wine64)
# The Node.js client needs Node.js 18 or later; Debian 12's own is 18.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}"
"${sudo[@]}" apt-get install -y -qq "${wine_packages[@]}"
