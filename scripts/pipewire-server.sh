#!/usr/bin/env bash
# Starts or stops a private, headless PipeWire server for tests and demos: a
# session bus, pipewire and its session manager in a runtime folder of their
# own, and one 4-channel loop node, "quavelor_loop", whose capture side gives
# back what is played into it.
#
#   scripts/pipewire-server.sh start FOLDER   prints the environment to use it
#   scripts/pipewire-server.sh stop FOLDER    stops the whole session by its PID
#
# With the printed variables, PipeWire's ALSA device plays into and
# records from quavelor_loop, in real time, at the server's rate of 48000.
set -euo pipefail

command=${1:?start or stop}
folder=$(realpath -m "${2:?runtime folder}")
node=quavelor_loop

case "$command" in
  start)
    mkdir -p "$folder"
    chmod 700 "$folder"
    export XDG_RUNTIME_DIR="$folder" HOME="$folder" XDG_CONFIG_HOME="$folder/config"
    # The session: a bus for the session manager, the server, the manager.
    cat > "$folder/session.sh" <<'EOF'
#!/usr/bin/env bash
pipewire >> "$XDG_RUNTIME_DIR/pipewire.log" 2>&1 &
for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber >> "$XDG_RUNTIME_DIR/wireplumber.log" 2>&1 &
wait
EOF
    chmod +x "$folder/session.sh"
    setsid dbus-run-session -- "$folder/session.sh" > "$folder/session.log" 2>&1 < /dev/null &
    echo $! > "$folder/session.pid"
    for _ in $(seq 50); do
      pw-cli info 0 > /dev/null 2>&1 && break
      sleep 0.1
    done
    pw-cli info 0 > /dev/null 2>&1 || { echo "pipewire did not start" >&2; cat "$folder"/*.log >&2; exit 1; }
    pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=$node \
      media.class=Audio/Duplex audio.position=[FL FR RL RR] audio.rate=48000 \
      object.linger=true }" > /dev/null
    # Ready once the session manager is connected: until then nothing would
    # link a stream to the node.
    for _ in $(seq 100); do
      grep -q WirePlumber <<<"$(wpctl status 2>/dev/null)" && break
      sleep 0.1
    done
    grep -q WirePlumber <<<"$(wpctl status 2>/dev/null)" || { echo "the session manager did not start" >&2; cat "$folder"/*.log >&2; exit 1; }
    echo "export XDG_RUNTIME_DIR=$folder PIPEWIRE_NODE=$node"
    ;;
  stop)
    pid_file="$folder/session.pid"
    if [ -f "$pid_file" ]; then
      pid=$(cat "$pid_file")
      # setsid made the session's first process the leader of its own group.
      kill -- -"$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 -- -"$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 -- -"$pid" 2>/dev/null || true
      rm -f "$pid_file"
    fi
    ;;
  *)
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
    ;;
esac
