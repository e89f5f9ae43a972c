#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian machine.
# Packages already present are left alone, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libasound2-dev alsa-utils libasound2-plugins
  libgtest-dev libgmock-dev libbenchmark-dev
  sox pulseaudio pulseaudio-utils
  pipewire pipewire-bin pipewire-alsa wireplumber dbus-daemon
  python3 util-linux valgrind
  groff-base man-db
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
echo "Installing: ${missing[*]}"
"${run_as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
