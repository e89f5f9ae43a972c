#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian machine.
# Packages already present are left alone, so a second run is quick.
#
#   scripts/install-dependencies.sh          everything: build, tests, benchmarks
#   scripts/install-dependencies.sh --run    only what building and running the
#                                            program and its demo take
#
# The sound servers the tests use are not part of --run: installing PulseAudio
# on a desktop that runs PipeWire would replace the desktop's sound service.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  libasound2-dev alsa-utils sox
)
everything=true
if [ "${1:-}" = --run ]; then
  everything=false
else
  packages+=(
    libasound2-plugins
    libgtest-dev libgmock-dev libbenchmark-dev
    pulseaudio pulseaudio-utils
    pipewire pipewire-bin wireplumber dbus-daemon
    python3 util-linux valgrind
    groff-base man-db
  )
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${run_as_root[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# PipeWire's ALSA plugin, for the real-time tests on PipeWire. Its package
# conflicts with pulseaudio, which the other real-time tests need, so the
# plugin is unpacked into .deps/ of this tree instead of installed; the tests
# name it in an ALSA configuration of their own.
plugin_folder=.deps/pipewire-alsa
if $everything && [ -z "$(find "$plugin_folder" -name libasound_module_pcm_pipewire.so 2>/dev/null)" ]; then
  download=$(mktemp -d)
  if ! (cd "$download" && apt-get download -q pipewire-alsa); then
    "${run_as_root[@]}" apt-get update -q
    (cd "$download" && apt-get download -q pipewire-alsa)
  fi
  rm -rf "$plugin_folder"
  mkdir -p "$plugin_folder"
  dpkg-deb -x "$download"/pipewire-alsa_*.deb "$plugin_folder"
  rm -rf "$download"
fi
