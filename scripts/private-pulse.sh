#!/usr/bin/env bash
# A private PulseAudio server with virtual devices, for tests and demos on machines with no sound card:
#   speaker  null sink, 48 kHz stereo, the default sink (its monitor is the "system audio")
#   micsink  null sink, 44.1 kHz stereo; whatever plays into it is heard on
#   mic      the default source, a remap of micsink's monitor (a "microphone")
#
#   scripts/private-pulse.sh start DIR   # prints the PULSE_SERVER value to use
#   scripts/private-pulse.sh stop DIR
set -euo pipefail
command=${1:?start or stop}
dir=${2:?a directory for the runtime files of the server}

case "$command" in
start)
  mkdir -p "$dir"
  chmod 700 "$dir"
  export XDG_RUNTIME_DIR="$dir" HOME="$dir"
  server="unix:$dir/pulse/native"
  pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=speaker rate=48000 channels=2" \
    --load="module-null-sink sink_name=micsink rate=44100 channels=2" \
    --load="module-remap-source source_name=mic master=micsink.monitor" \
    >"$dir/server.log" 2>&1 &
  echo $! >"$dir/server.pid"
  for _ in $(seq 100); do
    if PULSE_SERVER="$server" pactl info >/dev/null 2>&1; then
      PULSE_SERVER="$server" pactl set-default-sink speaker
      PULSE_SERVER="$server" pactl set-default-source mic
      echo "$server"
      exit 0
    fi
    sleep 0.1
  done
  echo "the private PulseAudio server did not come up; its log:" >&2
  cat "$dir/server.log" >&2
  exit 1
  ;;
stop)
  if [ -f "$dir/server.pid" ]; then
    pid=$(cat "$dir/server.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/server.pid"
  fi
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
