#!/usr/bin/env bash
# Starts or stops a private, headless PulseAudio server for tests, demos and
# benchmarks: two null sinks ("quavelor_in", whose monitor is the capture
# source, and "quavelor_out" for playback), a 4-channel null sink
# "quavelor_loop" whose monitor gives back everything played into it, and a
# native-protocol socket in a runtime folder of its own.
#
#   scripts/pulse-server.sh start FOLDER   prints the environment to use it
#   scripts/pulse-server.sh stop FOLDER    stops the server by its PID
#
# With the printed variables, the ALSA device "plug:pulse" records the monitor
# of quavelor_in and plays into quavelor_out, in real time.
#
# The null sinks are loaded with rewinds disabled. With rewinds, about one
# run in ten of the program stalled: after its first writes the server held
# no data for the playback stream yet granted it no room either, so the
# program waited for room forever. Without rewinds no run stalled.
#
# QUAVELOR_PULSE_VERBOSE=1 makes the server log at debug level in
# FOLDER/pulse.log.
set -euo pipefail

command=${1:?start or stop}
folder=$(realpath -m "${2:?runtime folder}")  # the server runs from /

case "$command" in
  start)
    mkdir -p "$folder"
    chmod 700 "$folder"
    export XDG_RUNTIME_DIR="$folder" HOME="$folder" PULSE_RUNTIME_PATH="$folder/pulse"
    verbosity=()
    [ "${QUAVELOR_PULSE_VERBOSE:-0}" = 1 ] && verbosity=(-vvvv --log-time=1)
    pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes "${verbosity[@]}" \
      --log-target=file:"$folder/pulse.log" \
      -L "module-native-protocol-unix socket=$folder/pulse/native auth-anonymous=1" \
      -L "module-null-sink sink_name=quavelor_in rate=48000 channels=2 norewinds=1" \
      -L "module-null-sink sink_name=quavelor_out rate=48000 channels=2 norewinds=1" \
      -L "module-null-sink sink_name=quavelor_loop rate=48000 channels=4 channel_map=front-left,front-right,rear-left,rear-right norewinds=1" \
      -L "module-always-sink" 2>>"$folder/pulse.log"
    for _ in $(seq 50); do
      [ -S "$folder/pulse/native" ] && break
      sleep 0.1
    done
    [ -S "$folder/pulse/native" ] || { echo "pulseaudio did not start" >&2; cat "$folder/pulse.log" >&2; exit 1; }
    echo "export XDG_RUNTIME_DIR=$folder PULSE_SERVER=unix:$folder/pulse/native PULSE_SINK=quavelor_out PULSE_SOURCE=quavelor_in.monitor"
    ;;
  stop)
    pid_file="$folder/pulse/pid"
    if [ -f "$pid_file" ]; then
      pid=$(cat "$pid_file")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    ;;
  *)
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
    ;;
esac
