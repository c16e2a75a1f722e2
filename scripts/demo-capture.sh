#!/usr/bin/env bash
# The tool's main job, end to end: installs what it needs, builds, captures a few seconds of the
# microphone mixed with the system audio into a WAV file, prints the events and a level summary,
# and draws a spectrogram beside the WAV.
#
#   scripts/demo-capture.sh [seconds] [out.wav]
#
# With a sound server of your own (a desktop with PulseAudio or PipeWire) it records your real
# microphone and whatever your system plays. With none (a server, a container, CI) it starts a
# private one with a virtual microphone and speaker and speaks into both with espeak-ng.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-6}
wav=${2:-capture.wav}
work=$(mktemp -d /tmp/zarvi-demo-XXXXXX)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  [ -z "${private:-}" ] || scripts/private-pulse.sh stop "$work/pulse"
  rm -rf "$work"
}
trap cleanup EXIT

command -v cmake >/dev/null && command -v pactl >/dev/null && command -v espeak-ng >/dev/null &&
  pkg-config --exists libpulse 2>/dev/null || scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zarvi-audio-capture >/dev/null
tool=build/release/src/zarvi-audio-capture

if pactl info >/dev/null 2>&1; then
  echo "Using your sound server: $(pactl info | sed -n 's/^Server Name: //p')" >&2
else
  private=1
  PULSE_SERVER=$(scripts/private-pulse.sh start "$work/pulse")
  export PULSE_SERVER
  echo "No sound server here: started a private one at $PULSE_SERVER" >&2
  espeak-ng -v en-us -s 150 -w "$work/mic.wav" \
    "This is the microphone speaking. One, two, three, four, five. The quick brown fox jumps over the lazy dog."
  espeak-ng -v en-gb -p 20 -s 140 -w "$work/system.wav" \
    "And this is the system audio, the sound that the computer plays, mixed into the same stream."
  (sleep 0.5; paplay -d micsink "$work/mic.wav") &
  (sleep 2.5; paplay -d speaker "$work/system.wav") &
fi

{ echo START; sleep "$seconds"; echo STOP; echo QUIT; } | "$tool" >"$work/capture.pcm" 2>"$work/events.jsonl"
echo "--- events (stderr) ---"
cat "$work/events.jsonl"
sox -t raw -r 16000 -e signed -b 16 -c 1 "$work/capture.pcm" "$wav"
echo "--- levels of $wav ---"
sox "$wav" -n stat 2>&1 | grep -E 'Length|Maximum amplitude|RMS +amplitude'
sox "$wav" -n spectrogram -o "${wav%.wav}.png" -t "zarvi-audio-capture: $seconds s at 16 kHz"
echo "Wrote $wav and ${wav%.wav}.png"
