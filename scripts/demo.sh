#!/usr/bin/env bash
# Installs the dependencies, builds quavelor and runs it.
#
# With no arguments: plays a generated test signal (a rising scale of short
# tones, one a second) through quavelor on a built-in file-backed device with
# a 2 second delay, and leaves in demo-output/:
#   input.wav     what the device "captured"
#   output.wav    what quavelor played: the same, 2 s later, on both sides
#   delay.png     spectrograms of input (top) and output (bottom)
# Then, when the machine has a sound card and a person at the terminal, it
# offers to run on the card so that they can hear themselves delayed.
#
# With arguments: runs quavelor with them, e.g.
#   scripts/demo.sh plughw:0 3 1 1 2 48000 60
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh --run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVELOR_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target quavelor >/dev/null
program=build/quavelor

if [ $# -gt 0 ]; then
  exec "$program" "$@"
fi

rate=48000
delay=2
timeout=12
out=demo-output
rm -rf "$out"
mkdir -p "$out"

# A tone a second for ten seconds, then silence, so that the run (12 s) never
# reads past the end of the recording.
tones=()
for step in 0 2 4 5 7 9 11 12 14 16; do
  frequency=$(awk "BEGIN { printf \"%.2f\", 440 * 2 ^ ($step / 12) }")
  sox -n -r "$rate" -b 24 -c 1 "$out/tone-$step.wav" \
    synth 0.25 sine "$frequency" fade 0.01 0.25 0.05 pad 0 0.75
  tones+=("$out/tone-$step.wav")
done
sox "${tones[@]}" "$out/input.wav" pad 0 6
rm -f "${tones[@]}"

# The test device reads interleaved 24-bit frames from in.raw and writes every
# played frame to out.raw. Mode 3 opens two channels: the tones go in on the
# first, the second carries silence.
sox "$out/input.wav" -t raw -e signed -b 24 -L "$out/in.raw" remix 1 0

ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$PWD/tests/alsa/test_devices.conf" \
QUAVELOR_TEST_DIR="$PWD/$out" \
  "$program" quavelor_file 3 1 1 "$delay" "$rate" "$timeout"

sox -t raw -r "$rate" -e signed -b 24 -L -c 2 "$out/out.raw" "$out/output.wav"
sox -M "$out/input.wav" "$out/output.wav" -n remix 1 2 \
  spectrogram -x 1200 -y 257 -z 90 -t "quavelor: input (top), output $delay s later (bottom)" \
  -o "$out/delay.png"
rm -f "$out/in.raw" "$out/out.raw"

echo
echo "Listen to $out/input.wav and $out/output.wav; $out/delay.png shows both."

if [ -t 0 ] && grep -q '^ *[0-9]' /proc/asound/cards 2>/dev/null; then
  # Where a desktop's sound server holds the card, its "default" device
  # reaches it; otherwise the card itself, through plughw's conversions.
  device=plughw:0
  if { command -v pw-cli > /dev/null && pw-cli info 0 > /dev/null 2>&1; } ||
     { command -v pactl > /dev/null && pactl info > /dev/null 2>&1; }; then
    device=default
  fi
  echo
  echo "This machine has a sound card. To hear yourself $delay s later, put on"
  echo "HEADPHONES (a delayed output that the input can hear howls) and press"
  echo "Enter; Ctrl-C skips. The run lasts 30 s, on the device $device."
  read -r _
  "$program" "$device" 3 1 1 "$delay" "$rate" 30
fi
