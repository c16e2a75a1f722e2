#!/usr/bin/env bash
# Builds the Debian package from the release build, installs it, and checks what it installed: the
# binary's --version, the man page, and the protocol tests against the installed binary.
#   scripts/package.sh        # after scripts/test.sh dev (the protocol tests come from that build)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target zarvi-audio-capture
(cd build/release && cpack -G DEB)
version=$(sed -n 's/^project(zarvi-audio-capture VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package="build/release/zarvi-audio-capture_${version}_$(dpkg --print-architecture).deb"
echo "=== $package ==="
dpkg-deb --field "$package"
dpkg-deb --contents "$package"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "./$package"
test "$(/usr/bin/zarvi-audio-capture --version)" = "zarvi-audio-capture $version"
man -w zarvi-audio-capture >/dev/null
# The man page renders without a single warning.
warnings=$(groff -ww -man -z docs/zarvi-audio-capture.1 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
ZARVI_TOOL=/usr/bin/zarvi-audio-capture build/dev/tests/zarvi_process_tests
echo "the installed package works"
