#!/usr/bin/env bash
# Builds the Debian package from the build folder with cpack, checks what it
# declares and holds, installs it with dpkg, runs the installed
# /usr/bin/quavelor (usage text; a short run on the file-backed test device)
# and removes the package again, also when a step fails half-way.
#   debian_package_test.sh CPACK BUILD_FOLDER TEST_DEVICES_CONF MANUAL_PAGE
# Exit status 77 (a skip) when it cannot run: not root, no dpkg, or a
# quavelor package already installed on this machine, which it leaves alone.
set -euo pipefail
cpack=${1:?cpack} build=${2:?build folder} devices_conf=${3:?test device configuration}
page=${4:?manual page}

package=quavelor
installed_program=/usr/bin/quavelor
lock_file=/tmp/quavelor-debian-package-test.lock
lock_wait_seconds=120
dpkg_lock_retries=60

skip() {
  echo "SKIP: $*"
  exit 77
}

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null || skip "no dpkg on this machine"

# Other build folders on the same machine may run this test at the same
# time; they take turns.
exec {lock}>"$lock_file"
flock -w "$lock_wait_seconds" "$lock" || skip "another package test held $lock_file for ${lock_wait_seconds}s"

package_installed() {
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'
}
package_installed && skip "a $package package is already installed; remove it with: dpkg -r $package"

# dpkg refuses to run while apt or another dpkg holds its lock: try again for
# a while rather than fail on a busy machine.
run_dpkg() {
  local output
  for _ in $(seq "$dpkg_lock_retries"); do
    if output=$(dpkg "$@" 2>&1); then
      return 0
    fi
    if ! grep -qi 'lock' <<<"$output"; then
      break
    fi
    sleep 1
  done
  echo "$output" >&2
  return 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/quavelor-package.XXXXXX")
we_installed=0
clean_up() {
  if [ "$we_installed" -eq 1 ]; then
    run_dpkg -r "$package" || echo "could not remove the $package package" >&2
  fi
  rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 1' INT TERM HUP
trap 'echo "FAIL: line $LINENO: a command failed" >&2' ERR

# Build.
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
}
debs=("$work"/package/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || {
  echo "FAIL: cpack made ${#debs[@]} packages: ${debs[*]}" >&2
  exit 1
}
deb=${debs[0]}

# What it declares and holds.
info=$(dpkg -I "$deb")
grep -q "^ Package: $package\$" <<<"$info" || fail "dpkg -I shows no 'Package: $package'"
grep -qE '^ Depends: libasound2( \(>= [0-9.]+\))?$' <<<"$info" ||
  fail "dpkg -I shows no sole 'Depends: libasound2...':"$'\n'"$info"
grep -qE '^ Maintainer: .+ <.+@.+>$' <<<"$info" || fail "dpkg -I shows no 'Maintainer: name <address>'"
grep -qE '^ Description: .+' <<<"$info" || fail "dpkg -I shows no Description"
contents=$(dpkg -c "$deb" | awk '{ print $NF }')
for file in ./usr/bin/quavelor ./usr/share/man/man1/quavelor.1.gz; do
  grep -qx "$file" <<<"$contents" || fail "the package does not hold $file"
done
dpkg --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man1/quavelor.1.gz | gzip -dc | cmp -s - "$page" ||
  fail "the package's compressed manual page is not $page"

# Install.
run_dpkg -i "$deb" || {
  echo "FAIL: dpkg -i $deb" >&2
  exit 1
}
we_installed=1
[ "$(dpkg-query -S "$installed_program" 2>/dev/null)" = "$package: $installed_program" ] ||
  fail "$installed_program does not come from the $package package"

# Without arguments: the usage text on standard output, byte for byte, and
# status 1.
expected_usage=$'\nQuavelor 1.0 by Ostrelwyn\n\n'\
$'Add 1 or more arguments:\n\n'\
$'<device> <mode> <inp chan> <outp chan> <delay in sec> <samplerate> <timeout>\n\n'\
$'Mode 1: a mono input will be sent to one side of a stereo output (default)\n'\
$'Mode 2: a stereo input will be sent to a stereo output\n'\
$'Mode 3: a mono input will be sent to both sides of a stereo ouput\n\n'\
$'In the case of stereo outputs and inputs, the track number given in the command line '\
$'indicates the first of the two channels (usually left side)\n\n'\
$'WARNING!  Since this program intentionally creates a delay, a destructive feedback '\
$'loop can occur if the input can hear the output such as with a laptop or a '\
$'microphone near monitor speakers.  The output should be sent to headphones.\n\n'
status=0
"$installed_program" >"$work/usage.out" 2>"$work/usage.err" </dev/null || status=$?
[ "$status" -eq 1 ] || fail "without arguments the installed program exits with $status, not 1"
printf '%s' "$expected_usage" >"$work/usage.expected"
cmp -s "$work/usage.expected" "$work/usage.out" ||
  fail "without arguments the output differs from the usage text:"$'\n'"$(diff "$work/usage.expected" "$work/usage.out" || true)"
[ ! -s "$work/usage.err" ] || fail "without arguments it writes to standard error: $(cat "$work/usage.err")"

# A one-second run on the file-backed test device: capture reads in.raw,
# playback writes out.raw.
run=$work/run
mkdir "$run"
head -c 24576 /dev/urandom >"$run/in.raw"
status=0
ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$devices_conf" QUAVELOR_TEST_DIR="$run" \
  "$installed_program" quavelor_file 1 1 1 0 44100 1 >"$work/run.out" 2>"$work/run.err" </dev/null || status=$?
[ "$status" -eq 0 ] || fail "the run on the test device exits with $status:"$'\n'"$(cat "$work/run.out" "$work/run.err")"
expected_run=$'Device = quavelor_file\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n'\
$'Output Channel = 1\nTime delay ~ 0.000 sec\nSample rate = 44100\nTime out at 1 sec\n\nFinished\n'
printf '%s' "$expected_run" >"$work/run.expected"
cmp -s "$work/run.expected" "$work/run.out" ||
  fail "the run's output differs:"$'\n'"$(diff "$work/run.expected" "$work/run.out" || true)"
[ -s "$run/out.raw" ] || fail "the run played nothing into out.raw"

# Remove.
run_dpkg -r "$package" || fail "dpkg -r $package"
if package_installed; then
  fail "the $package package is still installed after dpkg -r"
else
  we_installed=0
fi
[ ! -e "$installed_program" ] || fail "$installed_program is still there after dpkg -r"

exit "$failed"
