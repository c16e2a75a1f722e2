#!/usr/bin/env bash
# Builds the Debian package from the release build with Debian's own build flags (hardening
# included), checks it with lintian (no error, no warning), installs it, and checks what it installed:
# the binary's --version, the man page, and the protocol tests against the installed binary.
#   scripts/package.sh        # from a fresh clone, once scripts/install-deps.sh has run
set -euo pipefail
cd "$(dirname "$0")/.."
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset release \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build --preset release -j "$(nproc)" --target zarvi-audio-capture zarvi_compressed_docs zarvi_process_tests
rm -f build/release/*.deb
(cd build/release && cpack -G DEB)
version=$(sed -n 's/^project(zarvi-audio-capture VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package="build/release/zarvi-audio-capture_${version}-1_$(dpkg --print-architecture).deb"
echo "=== $package ==="
dpkg-deb --field "$package"
dpkg-deb --contents "$package"
# The echo canceller's library, as this release names it: the package that holds the library the
# binary was linked with must be among the dependencies that dpkg-shlibdeps computed.
webrtc=$(objdump -p build/release/src/zarvi-audio-capture | sed -n 's/^ *NEEDED *\(libwebrtc.*\)/\1/p')
if [ -n "$webrtc" ]; then
  library=$(ldconfig -p | sed -n "s/^\t$webrtc .*=> //p" | head -n 1)
  holder=$(dpkg -S "$(realpath "$library")" | cut -d: -f1)
  dpkg-deb --field "$package" Depends | tr ',' '\n' | grep -q "^ *$holder\b" ||
    { echo "Depends does not name $holder, which holds $webrtc" >&2; exit 1; }
  echo "Depends names $holder ($webrtc)"
fi
echo "=== lintian ==="
lintian --pedantic --display-info --fail-on error,warning "$package"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "./$package"
test "$(/usr/bin/zarvi-audio-capture --version | head -n 1)" = "zarvi-audio-capture $version"
man -w zarvi-audio-capture >/dev/null
# The man page renders without a single warning.
warnings=$(groff -ww -man -z docs/zarvi-audio-capture.1 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
ZARVI_TOOL=/usr/bin/zarvi-audio-capture build/release/tests/zarvi_process_tests
echo "the installed package works"
