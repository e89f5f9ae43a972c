#!/usr/bin/env python3
"""Clicks and a tone through quavelor in real time, on a private PipeWire server.

Usage: click_delay_test.py QUAVELOR SERVER_SCRIPT PLUGIN_FOLDER WORK_FOLDER SHIM

The test starts its own server with scripts/pipewire-server.sh in
WORK_FOLDER. The server's ALSA plugin is taken from PLUGIN_FOLDER, where
scripts/install-dependencies.sh unpacks it (its package cannot be installed
next to pulseaudio), or else from the system's plugin folder; the device
quavelor_pipewire is defined on it in an ALSA configuration written to
WORK_FOLDER. The server's node quavelor_loop is the loop sink of
tests/support/sound_server_session.py.

Each run of RUNS is checked as check_run there says: modes 2 and 3, both
rates, 60 s runs idle and beside two busy loops, and runs stopped for a
second. In one more run the test library SHIM holds quavelor's start of
capture back by 50 ms, so that the server has played a quantum of the
cushion (42.67 ms) before the first frame is captured, as it does now and
then when it starts playback first.

Exit status 0 when every check holds, 1 when one fails, 77 (skipped) when the
server's tools or its ALSA plugin are not installed.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sound_server_session import (  # noqa: E402
    CHANNELS, SERVER_RATE, check_run, exit_status, loop_sink, run_case, start_server,
    stop_server, warm_up)

DEVICE = "quavelor_pipewire"
PLUGIN = "libasound_module_pcm_pipewire.so"

RUNS = [
    run_case("mode 2 at 48000", DEVICE, 2, 1, 3, 1.5, 48000, 60, {2: 0, 3: 1}),
    run_case("mode 2 at 44100", DEVICE, 2, 1, 3, 1.5, 44100, 60, {2: 0, 3: 1}),
    run_case("mode 2 at 48000, busy", DEVICE, 2, 1, 3, 1.5, 48000, 60, {2: 0, 3: 1}, busy=True),
    run_case("mode 2 at 44100, busy", DEVICE, 2, 1, 3, 1.5, 44100, 60, {2: 0, 3: 1}, busy=True),
    run_case("mode 3 at 44100, stopped", DEVICE, 3, 2, 3, 1.0, 44100, 12, {2: 1, 3: 1},
             stop_at=4.0),
    run_case("mode 3 at 48000, stopped", DEVICE, 3, 1, 3, 0.5, 48000, 12, {2: 0, 3: 0},
             stop_at=4.0),
]

SINK = loop_sink(
    player=lambda track: ["pw-play", "--target", "quavelor_loop", track],
    recorder=lambda recording: ["pw-record", "--target", "quavelor_loop", "--rate",
                                str(SERVER_RATE), "--channels", str(CHANNELS), "--format", "s16",
                                recording])


def find_plugin(plugin_folder):
    for root, _, files in os.walk(plugin_folder):
        if PLUGIN in files:
            return os.path.join(root, PLUGIN)
    multiarch = subprocess.run(["gcc", "-print-multiarch"], capture_output=True,
                               text=True).stdout.strip()
    system = os.path.join("/usr/lib", multiarch, "alsa-lib", PLUGIN)
    return system if os.path.exists(system) else None


def main():
    if len(sys.argv) != 6:
        print(__doc__)
        return 2
    binary, server_script, plugin_folder, folder, shim = (os.path.abspath(argument)
                                                          for argument in sys.argv[1:])
    # A sanitized quavelor insists that its runtime is the first library
    # loaded, which a preloaded one breaks.
    asan_options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"),
                                          "verify_asan_link_order=0"]))
    late_capture = {"LD_PRELOAD": shim, "QUAVELOR_SHIM_START_MS": "50",
                    "ASAN_OPTIONS": asan_options}
    runs = RUNS + [run_case("mode 2 at 48000, capture started late", DEVICE, 2, 1, 3, 1.5, 48000,
                            9, {2: 0, 3: 1}, variables=late_capture)]
    tools = ("pipewire", "wireplumber", "pw-cli", "pw-play", "pw-record", "wpctl",
             "dbus-run-session")
    missing = [tool for tool in tools if shutil.which(tool) is None]
    plugin = find_plugin(plugin_folder)
    if missing or plugin is None:
        print("skipped: missing " + " ".join(missing or [PLUGIN]))
        return 77
    os.makedirs(folder, exist_ok=True)
    server_folder = os.path.join(folder, "server")
    environment = start_server(server_script, server_folder)
    devices = os.path.join(folder, "devices.conf")
    with open(devices, "w") as conf:
        conf.write(f'pcm_type.pipewire {{ lib "{plugin}" }}\n'
                   f'pcm.{DEVICE} {{ type pipewire }}\n')
    environment["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + devices
    try:
        warm_up(environment, folder, SINK)
        for case in runs:
            check_run(binary, environment, folder, case, SINK)
    finally:
        stop_server(server_script, server_folder)
    return exit_status()


if __name__ == "__main__":
    sys.exit(main())
