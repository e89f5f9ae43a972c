export XDG_RUNTIME_DIR=/tmp/exp/pw PIPEWIRE_NODE=quavelor_loop
