#!/usr/bin/env bash
# The tool on the current Debian release (13, trixie: GCC 14, libpulse 17, PipeWire 1.4, WebRTC's
# audio processing 1.x), in a root made with debootstrap from Debian's packages. Inside it: the
# README's install command and release build, the unit tests, the protocol tests, the echo and
# real-audio tests on a private PulseAudio and a private PipeWire server, and the Debian package
# (lintian, installed, its Depends naming that release's WebRTC library). Runs as root.
#   scripts/debian13.sh             # makes the root, or takes the one made before on this machine
#   scripts/debian13.sh --fresh     # makes it anew
#   scripts/debian13.sh --shell     # a shell in it, the source tree at /work/zarvi-audio-capture
#   scripts/debian13.sh --bench     # bench/echo-cancel.sh there; its recordings to build/echo-bench-debian13
# The root is kept in ZARVI_DEBIAN13_ROOT (default /var/cache/zarvi-audio-capture/debian13), only
# once it is whole; one run at a time may use it. Each run copies the source tree in anew.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${ZARVI_DEBIAN13_ROOT:-/var/cache/zarvi-audio-capture/debian13}
mode=${1:-test}
if [ "$(id -u)" -ne 0 ]; then
  echo "debootstrap and chroot need root" >&2
  exit 1
fi
command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

mounts=()
cleanup() {
  local at
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    at=${mounts[i]}
    umount -l "$at" 2>/dev/null || true
  done
}
trap cleanup EXIT

# The mirror this machine's own packages come from, else Debian's.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

if [ "$mode" = --fresh ]; then
  rm -rf "$root"
  mode=test
fi
# A root is kept only once debootstrap finished with it: an interrupted one is made again.
if [ ! -e "$root/.zarvi-complete" ]; then
  rm -rf "$root" "$root.new"
  echo "=== debootstrap trixie from $mirror ==="
  time debootstrap --variant=minbase trixie "$root.new" "$mirror" >"$(dirname "$root")/debootstrap.log" 2>&1 ||
    { tail -n 20 "$(dirname "$root")/debootstrap.log" >&2; exit 1; }
  touch "$root.new/.zarvi-complete"
  mv "$root.new" "$root"
fi

for at in proc sys dev dev/pts; do
  mount --bind "/$at" "$root/$at"
  mounts+=("$root/$at")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The tree as it is now, build output left out.
tree=/work/zarvi-audio-capture
rm -rf "${root:?}$tree"
mkdir -p "$root$tree"
tar --exclude=./build --exclude=./node_modules --exclude='./clients/*/node_modules' -cf - . | tar -xf - -C "$root$tree"

inside() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

if [ "$mode" = --shell ]; then
  inside bash -c "cd $tree && exec bash"
  exit
fi
if [ "$mode" = --bench ]; then
  inside bash -euo pipefail -c "cd $tree && scripts/install-deps.sh &&
    cmake --preset release && cmake --build --preset release -j \$(nproc) --target zarvi-audio-capture &&
    bench/echo-cancel.sh"
  rm -rf build/echo-bench-debian13
  mkdir -p build
  cp -r "$root$tree/build/echo-bench" build/echo-bench-debian13
  exit
fi

inside bash -euo pipefail -c "
cd $tree
echo '=== Debian' \$(cat /etc/debian_version) '==='
time scripts/install-deps.sh
echo '=== release build ==='
time { cmake --preset release && cmake --build --preset release -j \$(nproc); }
build/release/src/zarvi-audio-capture --version
build/release/src/zarvi-audio-capture --version | grep -qx 'echo canceller: WebRTC audio processing 1\\..* (AEC3)'
echo '=== tests ==='
# The unit tests, the protocol tests, and on both servers those of echo cancelling and of the
# events and audio of a whole run.
time {
  ctest --test-dir build/release -j \$(nproc) --output-on-failure -L 'unit|process|backend'
  ctest --test-dir build/release -j \$(nproc) --output-on-failure -L server -R '\\.(EchoTest|RealAudioTest)\\.'
}
echo '=== package ==='
time scripts/package.sh
"
echo "Debian 13: all passed"
