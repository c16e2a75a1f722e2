#!/usr/bin/env bash
# Echo cancelling side by side on simulated rooms (scripts/simulated-room.sh: the speaker's sound
# reaches the microphone reverberant and 3 dB quieter), on a private PulseAudio and PipeWire server:
# the tool's canceller, and the server's own module-echo-cancel with aec_method=webrtc and (where the
# server has it) aec_method=speex. Two rooms: "plain", whose echo comes only the room's own streaming
# later (about 0.17 s, within what the modules' WebRTC finds), and "late", 120 ms more (a delay the
# server does not know, as a Bluetooth speaker's). Far and near end speak in two espeak-ng voices on a
# fixed script (bench/echo_figures.py says which second holds what and prints the figures). Runs on
# Debian 12 (WebRTC audio processing 0.3, PulseAudio 16, PipeWire 0.3.65) and in the root of
# scripts/debian13.sh (1.x, PulseAudio 17, PipeWire 1.4): scripts/debian13.sh --bench.
# Needs Debian's python3-numpy. Run it alone: it reads the servers' CPU time. The recordings stay in
# build/echo-bench/ (bench/echo_figures.py figures build/echo-bench prints the figures again).
#   bench/echo-cancel.sh [TOOL]       # TOOL: build/release/src/zarvi-audio-capture by default
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
tool=$(realpath "${1:-build/release/src/zarvi-audio-capture}")
work=$(mktemp -d /tmp/zarvi-echo-XXXXXX)
rooms=()
# A room in a process group of its own, so that a path change can end all of its pipeline.
start_room() {
  setsid "$repo/scripts/simulated-room.sh" "$@" >/dev/null 2>&1 &
  rooms+=($!)
}
stop_rooms() {
  local group
  for group in "${rooms[@]}"; do kill -- "-$group" 2>/dev/null || true; done
  rooms=()
  # The next run's rooms must not be mistaken for these.
  while [ -n "${PULSE_SERVER:-}" ] && pactl --format=json list sink-inputs 2>/dev/null | grep -q '"application.name":"\(near\|far\|second\)"'; do
    sleep 0.1
  done
}

cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  stop_rooms
  for kind in pulseaudio pipewire; do scripts/private-pulse.sh stop "$work/$kind" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

espeak-ng -v en-us -w "$work/far-voice.wav" "Good morning everyone. Let us look at the numbers for the third quarter. \
Sales went up in every region, and the new product line did better than we planned."
espeak-ng -v en-gb+f3 -w "$work/near-voice.wav" "Thanks. I have a question about the spring hiring plan and the budget for it."
/usr/bin/python3 bench/echo_figures.py scenes "$work"

# Prints the time of day at which SINK's monitor first carries sound: a stream can start playing
# a second after it was asked to, so a scene's clock starts when its sound does.
sound_on() {
  parec --raw --format=s16le --rate=16000 --channels=1 --latency-msec=10 -d "$1.monitor" 2>/dev/null | /usr/bin/python3 -c '
import array, sys, time
while True:
    block = sys.stdin.buffer.read(320)
    if not block or max(map(abs, array.array("h", block))) > 100:
        break
print(f"{time.time():.6f}")'
}

play() { paplay --raw --format=s16le --rate=16000 --channels=1 --latency-msec=20 --client-name="$3" -d "$1" "$2" & }

server_cpu() {
  local total=0 pid
  for pid in $(cat "$work/$kind/server.pids"); do total=$((total + $(cpu_ticks "$pid"))); done
  echo "$total"
}
elapsed() { awk -v from="$1" -v now="$(date +%s.%N)" 'BEGIN { print now - from }'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# The stream of the client named $1 on the server: its index.
stream_of() {
  pactl --format=json list "$2" | /usr/bin/python3 -c "
import json, sys
print(max(s['index'] for s in json.load(sys.stdin) if s['properties'].get('application.name') == '$1'))"
}

# Every room of a run runs from its start, so that a change is one step, with no stream to start:
# "near" (the speaker's echo the room's delay late), "far" (250 ms late, muted until 10 s into "delay"
# runs) and "second" (a second speaker's, 60 ms late, which "switch" runs make the default output at
# 10 s, moving the far end there).
start_rooms() {
  start_room "$room_delay" -3 "$1" speaker near
  start_room 0.25 -3 1 speaker far
  start_room 0.06 -3 1 speaker2 second
  until stream_of near sink-inputs && stream_of far sink-inputs && stream_of second sink-inputs; do
    sleep 0.1
  done >/dev/null 2>&1
  # WirePlumber restores a stream's mute by its name: each run says all three.
  pactl set-sink-input-mute "$(stream_of near sink-inputs)" 0
  pactl set-sink-input-mute "$(stream_of second sink-inputs)" 0
  pactl set-sink-input-mute "$(stream_of far sink-inputs)" 1
}
path_change() {
  case "$1" in
  delay)
    pactl set-sink-input-mute "$(stream_of far sink-inputs)" 0
    pactl set-sink-input-mute "$(stream_of near sink-inputs)" 1
    ;;
  switch)
    pactl set-default-sink speaker2
    pactl move-sink-input "$(stream_of player sink-inputs)" speaker2
    ;;
  esac
}

# Waits out a scene of SECONDS begun at PLAYED (a time of day), changing the path (WHAT) 10 s in;
# writes when the change came, in seconds after the players began, to the run's .change file.
scene_events() {
  local what=$1 seconds=$2 played=$3
  if [ "$what" != none ]; then
    sleep_until "$played" 10
    awk -v played="$played" -v now="$(date +%s.%N)" 'BEGIN { print now - played }' >"$out/$name.change"
    path_change "$what"
  fi
  # Two seconds more: a stream's first second can come late, and every scene must be whole.
  sleep_until "$played" "$((seconds + 2))"
}
sleep_until() {
  sleep "$(awk -v at="$1" -v later="$2" -v now="$(date +%s.%N)" 'BEGIN { w = at + later - now; print (w > 0 ? w : 0) }')"
}

# Plays SCENE's far end into SINK and its near end into the microphone's feed, and waits it out.
play_scene() {
  local sink=$1 scene=$2 watcher
  sound_on "$( [ -s "$work/$scene.far.raw" ] && echo speaker || echo micsink)" >"$work/sound-came" &
  watcher=$!
  sleep 1.5
  [ ! -s "$work/$scene.far.raw" ] || play "$sink" "$work/$scene.far.raw" player
  [ ! -s "$work/$scene.near.raw" ] || play micsink "$work/$scene.near.raw" talker
  wait "$watcher" || true  # parec ends on the closed pipe
  # The near scene's first sound is 12 s in.
  if [ -s "$work/$scene.far.raw" ]; then
    scene_events "$what" "$seconds" "$(cat "$work/sound-came")"
  else
    scene_events "$what" "$seconds" "$(awk '{ printf "%.6f", $1 - 12 }' "$work/sound-came")"
  fi
}

# One run of the tool: ECHO (0/1), SCENE (talk, near, path), WHAT changes at 10 s (none/delay/switch),
# and the room's SPEED. Writes NAME.tool.raw (the two tracks) and NAME.cpu (ticks, seconds).
tool_run() {
  local name=$1 echo=$2 scene=$3 what=$4 speed=$5 seconds pid before began
  seconds=$(cat "$work/$scene.seconds")
  start_rooms "$speed"
  rm -f "$work/control"
  mkfifo "$work/control"
  ZARVI_AUDIO_SEPARATE_TRACKS=1 ZARVI_AUDIO_ECHO_CANCEL=$echo ZARVI_AUDIO_MIC_ONLY=0 \
    "$tool" <"$work/control" >"$out/$name.tool.raw" 2>"$out/$name.events" &
  pid=$!
  exec 3>"$work/control"
  echo START >&3
  until grep -q capture_started "$out/$name.events"; do sleep 0.05; done
  before=$(cpu_ticks "$pid") began=$(date +%s.%N)
  play_scene speaker "$scene"
  echo "$(($(cpu_ticks "$pid") - before)) $(elapsed "$began")" >"$out/$name.cpu"
  echo QUIT >&3
  exec 3>&-
  wait "$pid"
  jobs -p | xargs -r kill 2>/dev/null || true
  stop_rooms
  pactl set-default-sink speaker
}

# The module as the tool's canceller is set up: no gain control and no noise suppression, which
# change the near end's level by design; no high-pass filter; the extended filter for a room's long
# echo where the library has one (0.3). The first that the server takes is used: PulseAudio 16,
# PulseAudio 17; PipeWire has keys of its own.
module_args() {
  if [ "$kind" = pipewire ]; then
    echo "webrtc.gain_control=false webrtc.noise_suppression=false webrtc.high_pass_filter=false"
    return
  fi
  case "$1" in
  webrtc)
    echo "analog_gain_control=0 digital_gain_control=0 noise_suppression=0 extended_filter=1"
    echo "analog_gain_control=0 digital_gain_control=0 noise_suppression=0 high_pass_filter=0"
    ;;
  speex) echo "agc=0 denoise=0" ;;
  esac
}
load_module() {
  local args
  while read -r args; do
    pactl load-module module-echo-cancel aec_method="$1" aec_args="\"$args\"" source_master=mic \
      sink_master=speaker source_name=ec_source sink_name=ec_sink rate=16000 channels=1 2>/dev/null && return
  done < <(module_args "$1")
  return 1
}

# One run of module-echo-cancel with METHOD (or "plain": the microphone as it is, for the servers'
# CPU without the module): NAME.mic.raw, NAME.far.raw (the speaker's monitor), NAME.cpu.
module_run() {
  local name=$1 method=$2 scene=$3 what=$4 seconds module="" source=mic sink=speaker before began
  seconds=$(cat "$work/$scene.seconds")
  start_rooms 1
  if [ "$method" != plain ]; then
    if ! module=$(load_module "$method"); then
      echo "$kind: module-echo-cancel does not take aec_method=$method here" >&2
      stop_rooms
      return
    fi
    source=ec_source sink=ec_sink
    sleep 1
  fi
  parec --raw --format=s16le --rate=16000 --channels=1 --latency-msec=20 -d "$source" >"$out/$name.mic.raw" &
  parec --raw --format=s16le --rate=16000 --channels=1 --latency-msec=20 -d speaker.monitor >"$out/$name.far.raw" &
  sleep 0.3
  before=$(server_cpu) began=$(date +%s.%N)
  play_scene "$sink" "$scene"
  echo "$(($(server_cpu) - before)) $(elapsed "$began")" >"$out/$name.cpu"
  jobs -p | xargs -r kill 2>/dev/null || true
  wait 2>/dev/null || true
  stop_rooms
  [ -z "$module" ] || pactl unload-module "$module"
}

for kind in pulseaudio pipewire; do
  PULSE_SERVER=$(scripts/private-pulse.sh start "$work/$kind" "$kind")
  export PULSE_SERVER
  pactl load-module module-null-sink sink_name=speaker2 rate=48000 channels=2 >/dev/null
  {
    pactl info | sed -n 's/^Server Name: //p'
    "$tool" --version | sed -n 's/^echo canceller: //p'
  } >"$work/$kind/about"
  # PipeWire's module takes no aec_method (0.3.65 says so in its log): it runs WebRTC.
  methods=(webrtc speex)
  [ "$kind" = pulseaudio ] || methods=(webrtc)
  for room in plain late; do
    room_delay=0
    [ "$room" = plain ] || room_delay=0.12
    out="$work/$kind/$room"
    mkdir -p "$out"
    tool_run talk-off 0 talk none 1
    tool_run talk-on 1 talk none 1
    tool_run near-off 0 near none 1
    tool_run near-on 1 near none 1
    module_run plain plain talk none
    for method in "${methods[@]}"; do module_run "talk-$method" "$method" talk none; done
    [ "$room" = late ] || continue
    tool_run drift-on 1 talk none 1.0002
    tool_run delay-off 0 path delay 1
    tool_run delay-on 1 path delay 1
    tool_run switch-off 0 path switch 1
    tool_run switch-on 1 path switch 1
    for method in "${methods[@]}"; do module_run "delay-$method" "$method" path delay; done
  done
  echo "$kind: recorded" >&2
  scripts/private-pulse.sh stop "$work/$kind"
  rm -rf "build/echo-bench/$kind"
  mkdir -p "build/echo-bench/$kind"
  cp -r "$work/$kind/about" "$work/$kind/plain" "$work/$kind/late" "build/echo-bench/$kind/"
done

/usr/bin/python3 bench/echo_figures.py figures build/echo-bench
