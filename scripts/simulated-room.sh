#!/usr/bin/env bash
# A room for echo tests on a private server (scripts/private-pulse.sh): what a speaker plays reaches
# the microphone's feed as a loudspeaker's sound would, late, reverberant and quieter, optionally at a
# slightly different speed (the drift between two devices' clocks). Runs until killed.
#   PULSE_SERVER=... scripts/simulated-room.sh [DELAY_S] [GAIN_DB] [SPEED] [SINK] [NAME]
#   defaults: 0.12 -3 1 speaker room; NAME is the client name of the stream into the microphone's feed
set -euo pipefail
delay=${1:-0.12}
gain=${2:--3}
speed=${3:-1}
sink=${4:-speaker}
name=${5:-room}
raw=(--raw --format=s16le --rate=16000 --channels=1 --latency-msec=20)
parec "${raw[@]}" -d "$sink.monitor" |
  sox -q --buffer 640 -t raw -r 16000 -e signed -b 16 -c 1 - -t raw - delay "$delay" reverb 30 gain "$gain" speed "$speed" |
  pacat "${raw[@]}" --client-name="$name" -d micsink
