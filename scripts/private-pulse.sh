#!/usr/bin/env bash
# A private sound server with virtual devices, for tests and demos on machines with no sound card:
# PulseAudio, or PipeWire with WirePlumber and pipewire-pulse. Clients reach either through libpulse.
#   speaker  null sink "Speaker", 48 kHz stereo, the default sink (its monitor is the "system audio")
#   micsink  null sink, 44.1 kHz stereo; whatever plays into it is heard on
#   mic      "Microphone", the default source, a remap of micsink's monitor
#
#   scripts/private-pulse.sh start DIR [pulseaudio|pipewire]   # prints the PULSE_SERVER value to use
#   scripts/private-pulse.sh start-bare DIR [pulseaudio|pipewire]   # the server with none of the devices
#   scripts/private-pulse.sh devices DIR                      # adds the devices to a bare server
#   scripts/private-pulse.sh stop DIR
#   scripts/private-pulse.sh kill DIR                         # as a crash would
set -euo pipefail
command=${1:?start or stop}
dir=${2:?a directory for the runtime files of the server}
kind=${3:-pulseaudio}

# Runs until the command succeeds, at most 10 s.
retry() {
  for _ in $(seq 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The three devices, the speaker and the microphone the defaults.
add_devices() {
  # device.class and priority.session rank the speaker above the microphone's feed, so that neither
  # server falls back to the feed when a test removes the default sink.
  pactl load-module module-null-sink sink_name=speaker rate=48000 channels=2 \
    sink_properties="'device.description=Speaker device.class=sound priority.session=2000'" >/dev/null
  pactl load-module module-null-sink sink_name=micsink rate=44100 channels=2 \
    sink_properties="'device.description=Microphone-feed priority.session=1'" >/dev/null
  pactl load-module module-remap-source source_name=mic master=micsink.monitor rate=44100 channels=2 \
    source_properties="'device.description=Microphone device.class=sound priority.session=2000'" >/dev/null
  # PipeWire's session manager publishes the defaults a moment after the devices appear.
  retry sh -c 'pactl set-default-sink speaker && pactl set-default-source mic &&
    pactl info | grep -q "^Default Sink: speaker$" && pactl info | grep -q "^Default Source: mic$"' ||
    fail "the defaults do not hold"
}

fail() {
  echo "the private $kind server did not come up: $1; its logs:" >&2
  tail -n 20 "$dir"/*.log >&2 || true
  exit 1
}

case "$command" in
start | start-bare)
  mkdir -p "$dir"
  chmod 700 "$dir"
  export XDG_RUNTIME_DIR="$dir" HOME="$dir"
  server="unix:$dir/pulse/native"
  case "$kind" in
  pulseaudio)
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
      --load="module-native-protocol-unix auth-anonymous=1" >"$dir/pulseaudio.log" 2>&1 &
    echo $! >>"$dir/server.pids"
    ;;
  pipewire)
    unset PULSE_SERVER PIPEWIRE_REMOTE
    # A server killed before leaves its sockets behind; the new one must not be mistaken for up.
    rm -f "$dir/pipewire-0" "$dir/pipewire-0.lock" "$dir/pipewire-0-manager" "$dir/pipewire-0-manager.lock" \
      "$dir/bus" "$dir/pulse/native"
    export XDG_STATE_HOME="$dir/state" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
    # WirePlumber 0.4 ends without a session bus.
    dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid >>"$dir/server.pids"
    pipewire >"$dir/pipewire.log" 2>&1 &
    echo $! >>"$dir/server.pids"
    retry test -S "$dir/pipewire-0" || fail "no pipewire socket"
    GIO_USE_VFS=local wireplumber >"$dir/wireplumber.log" 2>&1 &
    echo $! >>"$dir/server.pids"
    pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
    echo $! >>"$dir/server.pids"
    ;;
  *)
    echo "unknown server kind $kind: pulseaudio or pipewire" >&2
    exit 2
    ;;
  esac
  export PULSE_SERVER="$server"
  retry pactl info || fail "pactl info gets no answer"
  [ "$command" = start-bare ] || add_devices
  echo "$server"
  ;;
devices)
  export PULSE_SERVER="unix:$dir/pulse/native"
  add_devices
  ;;
stop | kill)
  # kill: at once, as a crash would.
  if [ -f "$dir/server.pids" ]; then
    pids=$(cat "$dir/server.pids")
    signal=TERM
    [ "$command" = stop ] || signal=KILL
    # shellcheck disable=SC2086
    kill -s "$signal" $pids 2>/dev/null || true
    for pid in $pids; do
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    done
    rm -f "$dir/server.pids"
  fi
  ;;
*)
  echo "usage: $0 start|start-bare|devices|stop|kill DIR [pulseaudio|pipewire]" >&2
  exit 2
  ;;
esac
