#!/usr/bin/env bash
# Tests the Node.js and Python clients against the installed tool (scripts/package.sh) and private
# sound servers, packs the npm tarball, and runs the README's two examples as a new user would: in an
# empty project, with the client installed from the tarball or with pip.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
ZARVI_TOOL=$(command -v zarvi-audio-capture) || { echo "install the tool first (scripts/package.sh)" >&2; exit 1; }
export ZARVI_TOOL
mkdir -p build
work=$(mktemp -d /tmp/zarvi-clients-XXXXXX)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  scripts/private-pulse.sh stop "$work/server" || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== Node.js client ==="
(cd clients/node && node --test test/)
tarball=$(cd clients/node && npm pack --silent --pack-destination "$repo/build")
echo "packed build/$tarball"

echo "=== Python client ==="
rm -rf build/pyvenv
/usr/bin/python3 -m venv --system-site-packages build/pyvenv
build/pyvenv/bin/pip install --quiet --no-index ./clients/python
# Run from outside the source folder, so that the installed module is the one imported.
(cd "$work" && "$repo/build/pyvenv/bin/python" -m unittest discover -v -s "$repo/clients/python/tests")

echo "=== the README's examples ==="
# The code block after each "<!-- example: NAME -->" line of the README, as it stands there.
example() {
  awk -v name="$1" '$0 == "<!-- example: " name " -->" {found = 1; next}
    found && /^```/ {if (inside) exit; inside = 1; next}
    inside {print}' README.md
}
PULSE_SERVER=$(scripts/private-pulse.sh start "$work/server")
export PULSE_SERVER
sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth 60 sine 440 vol 0.5 | paplay --latency-msec=20 -d speaker 2>/dev/null &
sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth 60 sine 1000 vol 0.25 | paplay --latency-msec=20 -d micsink 2>/dev/null &
export PATH="$(dirname "$ZARVI_TOOL"):$PATH"

mkdir "$work/node-host" "$work/python-host"
example capture.mjs >"$work/node-host/capture.mjs"
example capture.py >"$work/python-host/capture.py"
(cd "$work/node-host" && npm init -y >/dev/null && npm install --silent --offline --no-audit --no-fund "$repo/build/$tarball" &&
  node capture.mjs)
(cd "$work/python-host" && "$repo/build/pyvenv/bin/python" capture.py)
example tracks.mjs >"$work/node-host/tracks.mjs"
example tracks.py >"$work/python-host/tracks.py"
(cd "$work/node-host" && node tracks.mjs)
(cd "$work/python-host" && "$repo/build/pyvenv/bin/python" tracks.py)
for host in node-host python-host; do
  for file in capture.pcm me.pcm them.pcm; do
    bytes=$(stat -c %s "$work/$host/$file")
    echo "$host: $file holds $bytes bytes"
    # At least a second of sound (the private server's first audio comes late), in whole samples.
    [ "$bytes" -ge 32000 ] && [ $((bytes % 2)) -eq 0 ]
  done
  # The two tracks of one capture have the same length.
  [ "$(stat -c %s "$work/$host/me.pcm")" -eq "$(stat -c %s "$work/$host/them.pcm")" ]
done
echo "the clients work"
