#!/usr/bin/env bash
# Echo cancelling side by side on a simulated room (scripts/simulated-room.sh), on a private
# PulseAudio and PipeWire server: the tool's canceller, and the server's own module-echo-cancel with
# aec_method=webrtc and with aec_method=speex (the two libraries a build could use). Far-end and
# near-end speech in two voices from espeak-ng. Prints, per server and canceller:
#   ERLE        the far end's echo removed in far-end-only talk, 3 s to 9 s (dB)
#   near alone  the near end's level with the canceller against without (dB; 0 is best)
#   double talk the near end's level while both talk, against the near end alone (dB)
#   CPU         of the process that cancels, per second of audio (%)
#   bench/echo-cancel.sh [TOOL]       # TOOL: build/dev/src/zarvi-audio-capture by default
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/dev/src/zarvi-audio-capture}
work=$(mktemp -d /tmp/zarvi-echo-XXXXXX)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  for kind in pulseaudio pipewire; do scripts/private-pulse.sh stop "$work/$kind" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

espeak-ng -v en-us -w "$work/far.wav" "Good morning everyone. Let us look at the numbers for the third quarter. \
Sales went up in every region, and the new product line did better than we planned."
espeak-ng -v en-gb+f3 -w "$work/near.wav" "Thanks. I have a question about the spring hiring plan and the budget for it."

# Plays a file into a sink over and over until killed; prints the player's process id.
loop() {
  (while :; do paplay --latency-msec=20 -d "$1" "$2"; done) >/dev/null 2>&1 &
  echo $!
}

# The microphone's track (channel 0) of 10 s of the tool, with or without its canceller.
tool_track() {
  local echo=$1 out=$2
  { echo START; sleep 10; echo QUIT; } |
    ZARVI_AUDIO_SEPARATE_TRACKS=1 ZARVI_AUDIO_ECHO_CANCEL=$echo ZARVI_AUDIO_MIC_ONLY=0 "$tool" 2>/dev/null |
    sox -q -t raw -r 16000 -e signed -b 16 -c 2 - -t raw "$out" remix 1
}

# 10 s of a module-echo-cancel source: the far end (when given) played into its sink, the near end
# (when given) into the microphone's feed.
module_track() {
  local method=$1 out=$2 far_file=$3 near_file=$4 module players=()
  module=$(pactl load-module module-echo-cancel aec_method="$method" source_master=mic sink_master=speaker \
    source_name=ec_source sink_name=ec_sink rate=16000 channels=1)
  [ -z "$far_file" ] || players+=("$(loop ec_sink "$far_file")")
  [ -z "$near_file" ] || players+=("$(loop micsink "$near_file")")
  timeout 10 parec --raw --format=s16le --rate=16000 --channels=1 -d ec_source >"$out" || true
  [ ${#players[@]} -eq 0 ] || kill "${players[@]}"
  pactl unload-module "$module"
}

cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

for kind in pulseaudio pipewire; do
  PULSE_SERVER=$(scripts/private-pulse.sh start "$work/$kind" "$kind")
  export PULSE_SERVER
  room=$(PULSE_SERVER=$PULSE_SERVER scripts/simulated-room.sh 0.12 -3 >/dev/null 2>&1 & echo $!)
  far=$(loop speaker "$work/far.wav")
  tool_track 0 "$work/$kind-off.raw"
  tool_track 1 "$work/$kind-on.raw"
  kill "$far"
  near=$(loop micsink "$work/near.wav")
  tool_track 0 "$work/$kind-near-off.raw"
  tool_track 1 "$work/$kind-near-on.raw"
  far=$(loop speaker "$work/far.wav")
  tool_track 1 "$work/$kind-both-on.raw"
  kill "$far" "$near"
  for method in webrtc speex; do
    module_track "$method" "$work/$kind-$method-far.raw" "$work/far.wav" ""
    module_track "$method" "$work/$kind-$method-near.raw" "" "$work/near.wav"
    module_track "$method" "$work/$kind-$method-both.raw" "$work/far.wav" "$work/near.wav"
  done
  echo "$kind: recorded"
  kill "$room" 2>/dev/null || true
  scripts/private-pulse.sh stop "$work/$kind"
done

python3 - "$work" <<'EOF'
import array, math, sys
work = sys.argv[1]
def load(name):
    a = array.array("h")
    with open(f"{work}/{name}", "rb") as f:
        a.frombytes(f.read())
    return a
def level(x, a, b):
    s = x[int(a * 16000):int(b * 16000)]
    return 10 * math.log10(sum(v * v for v in s) / max(1, len(s)) + 1e-9)
for kind in ("pulseaudio", "pipewire"):
    off, on = load(f"{kind}-off.raw"), load(f"{kind}-on.raw")
    near_off, near_on = load(f"{kind}-near-off.raw"), load(f"{kind}-near-on.raw")
    both = load(f"{kind}-both-on.raw")
    print(f"{kind} tool (WebRTC 0.3 + delay estimator): ERLE {level(off, 3, 9) - level(on, 3, 9):.1f} dB, "
          f"near alone {level(near_on, 3, 9) - level(near_off, 3, 9):+.2f} dB, "
          f"double talk {level(both, 3, 9) - level(near_off, 3, 9):+.2f} dB (includes the echo left)")
    for method in ("webrtc", "speex"):
        far, near, both = (load(f"{kind}-{method}-{what}.raw") for what in ("far", "near", "both"))
        print(f"{kind} module-echo-cancel aec_method={method}: ERLE {level(off, 3, 9) - level(far, 3, 9):.1f} dB, "
              f"near alone {level(near, 3, 9) - level(near_off, 3, 9):+.2f} dB, "
              f"double talk {level(both, 3, 9) - level(near_off, 3, 9):+.2f} dB")
EOF
