#!/usr/bin/env python3
"""Clicks and a tone through quavelor in real time, on a private PipeWire server.

Usage: click_delay_test.py QUAVELOR SERVER_SCRIPT PLUGIN_FOLDER WORK_FOLDER

The test starts its own server with scripts/pipewire-server.sh in
WORK_FOLDER. The server's ALSA plugin is taken from PLUGIN_FOLDER, where
scripts/install-dependencies.sh unpacks it (its package cannot be installed
next to pulseaudio), or else from the system's plugin folder; the device
quavelor_pipewire is defined on it in an ALSA configuration written to
WORK_FOLDER. The server's node quavelor_loop has four channels and gives
back on its capture side what is played into it. A track of clicks over a
quiet continuous tone goes into channels 1 and 2, quavelor captures them and
plays them back, delayed, into channels 3 and 4, and one recording of the
node holds both, so the delay is read off a single time line.

Checked, for each run (routings, rates, 60 s runs idle and beside two busy
loops, a run stopped with SIGSTOP for a second):
  - standard output byte for byte, with no underrun mark at all (a stopped
    run may have them), empty standard error, exit status 0;
  - every click that fits in the run comes out on each routed output
    channel, and nothing else does; unrouted channels stay silent;
  - each click comes out exactly the delay later, to within LATENCY_BOUND;
    a delay shorter than the cushion comes out as the cushion;
  - the tone comes out whole: no silent 10 ms window on a routed output
    once it has arrived, but for the one gap of a stopped run.
The measured latencies are printed.

Exit status 0 when every check holds, 1 when one fails, 77 (skipped) when the
server's tools or its ALSA plugin are not installed.
"""

import array
import math
import os
import shutil
import signal
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sound_server_session import (  # noqa: E402
    check, check_marked_output, exit_status, start_server, stop_server)

SERVER_RATE = 48000        # the node's rate: the track's and the recording's
CHANNELS = 4
CUSHION_FRAMES = 3 * 4096  # what quavelor plays before the first captured frame
CLICK_FRAMES = 96          # 2 ms of a 2 kHz square wave
CLICK_LEVEL = 20000
CLICK_GAP = 1.37           # seconds between clicks, uneven against any block
TONE_LEVEL = 3000          # a 1 kHz sine under the clicks, on both channels
THRESHOLD = 8000           # a click's onset is the first sample beyond this
SILENT_LEVEL = 1000        # a 10 ms window whose peak stays below is silent
LATENCY_BOUND = 0.002      # seconds between the delay heard and the one due
PROCESS_TIMEOUT = 30.0     # seconds beyond a run's length
PLAYER_AFTER = 0.3         # seconds from starting quavelor to starting the track
STOP_SECONDS = 1.0
LONGEST_STOP_GAP = 1.6     # seconds of silence a stopped run may leave
DEVICE = "quavelor_pipewire"
PLUGIN = "libasound_module_pcm_pipewire.so"


class run_case:
    def __init__(self, name, mode, inputs, outputs, delay, rate, seconds, routes,
                 busy=False, stop_at=None):
        self.name, self.mode, self.inputs, self.outputs = name, mode, inputs, outputs
        self.delay, self.rate, self.seconds, self.routes = delay, rate, seconds, routes
        self.busy, self.stop_at = busy, stop_at

    def heard_delay(self):
        """The delay due: the one asked for, or the cushion when that is
        longer."""
        return max(self.delay, CUSHION_FRAMES / self.rate)

    def track_seconds(self):
        """The track's length: short enough for every click to come out
        before the run ends, whatever the delay (at most 1.5 s)."""
        return self.seconds - 2.5


# `routes` maps each output channel (0-based) that must carry the track to
# the input channel it comes from.
RUNS = [
    run_case("mode 2 at 48000", 2, 1, 3, 1.5, 48000, 60, {2: 0, 3: 1}),
    run_case("mode 2 at 44100", 2, 1, 3, 1.5, 44100, 60, {2: 0, 3: 1}),
    run_case("mode 2 at 48000, busy", 2, 1, 3, 1.5, 48000, 60, {2: 0, 3: 1}, busy=True),
    run_case("mode 2 at 44100, busy", 2, 1, 3, 1.5, 44100, 60, {2: 0, 3: 1}, busy=True),
    run_case("mode 3 at 44100", 3, 1, 3, 0.75, 44100, 9, {2: 0, 3: 0}),
    run_case("mode 1 at 48000, no delay", 1, 2, 4, 0, 48000, 9, {3: 1}),
    run_case("mode 3 at 44100, stopped", 3, 2, 3, 1.0, 44100, 12, {2: 1, 3: 1}, stop_at=4.0),
    run_case("mode 3 at 48000, stopped", 3, 1, 3, 0.5, 48000, 12, {2: 0, 3: 0}, stop_at=4.0),
]


def click_onsets(seconds, channel):
    """Click times in the track, in seconds: channel 2's sit between
    channel 1's, so that no click can be taken for another's."""
    first = 0.4 + channel * CLICK_GAP / 2
    return [first + CLICK_GAP * k for k in range(int((seconds - first - 0.3) / CLICK_GAP) + 1)]


def write_track(path, seconds):
    frames = int(seconds * SERVER_RATE)
    samples = array.array("h", bytes(2 * CHANNELS * frames))
    period = [round(TONE_LEVEL * math.sin(2 * math.pi * k / 48)) for k in range(48)]
    for channel in (0, 1):
        samples[channel::CHANNELS] = array.array("h", period * (frames // 48) + period[:frames % 48])
        for onset in click_onsets(seconds, channel):
            first = int(onset * SERVER_RATE)
            for k in range(CLICK_FRAMES):
                level = CLICK_LEVEL if (k // 12) % 2 == 0 else -CLICK_LEVEL
                samples[CHANNELS * (first + k) + channel] = level
    with wave.open(path, "wb") as track:
        track.setnchannels(CHANNELS)
        track.setsampwidth(2)
        track.setframerate(SERVER_RATE)
        track.writeframes(samples.tobytes())


def read_wave_channels(path):
    """Each channel's 16-bit samples of a WAV file, also of the extensible
    kind that the recorder writes for more than two channels."""
    with open(path, "rb") as file:
        content = file.read()
    position = 12
    while position + 8 <= len(content):
        kind = content[position:position + 4]
        size = int.from_bytes(content[position + 4:position + 8], "little")
        if kind == b"data":
            # A recorder stopped by a signal may leave the size unwritten.
            body = content[position + 8:]
            if 0 < size <= len(body):
                body = body[:size]
            samples = array.array("h")
            samples.frombytes(body[:len(body) // (2 * CHANNELS) * 2 * CHANNELS])
            return [samples[channel::CHANNELS] for channel in range(CHANNELS)]
        position += 8 + size + (size & 1)
    return [array.array("h") for _ in range(CHANNELS)]


WINDOW = SERVER_RATE // 100  # 10 ms


def window_peaks(samples):
    """The peak level of each 10 ms window of one channel."""
    return [max(max(samples[start:start + WINDOW]), -min(samples[start:start + WINDOW]))
            for start in range(0, len(samples) - WINDOW + 1, WINDOW)]


def onsets_in(samples, peaks):
    """Frame numbers where clicks start in one channel of a recording: only
    windows that reach the threshold are looked at sample by sample."""
    found = []
    last = None
    for index, peak in enumerate(peaks):
        if peak <= THRESHOLD:
            continue
        for frame in range(index * WINDOW, (index + 1) * WINDOW):
            if samples[frame] > THRESHOLD or samples[frame] < -THRESHOLD:
                if last is None or frame - last > SERVER_RATE // 5:
                    found.append(frame)
                last = frame
    return found


def silent_gaps(peaks):
    """The stretches of silent 10 ms windows, in seconds, between the first
    and the last window that carries sound."""
    silent = [peak < SILENT_LEVEL for peak in peaks]
    if False not in silent:
        return []
    first, last = silent.index(False), len(silent) - 1 - silent[::-1].index(False)
    gaps, length = [], 0
    for quiet in silent[first:last + 1] + [False]:
        if quiet:
            length += 1
        elif length:
            gaps.append(length / 100)
            length = 0
    return gaps


def find_plugin(plugin_folder):
    for root, _, files in os.walk(plugin_folder):
        if PLUGIN in files:
            return os.path.join(root, PLUGIN)
    multiarch = subprocess.run(["gcc", "-print-multiarch"], capture_output=True,
                               text=True).stdout.strip()
    system = os.path.join("/usr/lib", multiarch, "alsa-lib", PLUGIN)
    return system if os.path.exists(system) else None


def expected_output(case):
    names = {1: "1 (mono in -> mono out)", 2: "2 (stereo in -> stereo out)",
             3: "3 (mono in -> stereo out)"}
    routing = f"Mode = {names[case.mode]}\n"
    if case.mode == 2:
        routing += f"Input Channels = {case.inputs}+{case.inputs + 1}\n"
    else:
        routing += f"Input Channel = {case.inputs}\n"
    if case.mode == 1:
        routing += f"Output Channel = {case.outputs}\n"
    else:
        routing += f"Output Channels = {case.outputs}+{case.outputs + 1}\n"
    progress = "".join(f"\r{second} sec" for second in range(1, case.seconds))
    return (f"Device = {DEVICE}\n{routing}Time delay ~ {case.delay:.3f} sec\n"
            f"Sample rate = {case.rate}\nTime out at {case.seconds} sec\n{progress}\nFinished\n"
            ).encode()


def record_run(binary, environment, folder, case):
    """Runs quavelor while the track plays and the loop node is recorded;
    beside two busy loops if the case asks, stopped for STOP_SECONDS at its
    stop_at if it has one. Returns standard output, standard error, exit
    status and each channel of the recording."""
    recording = os.path.join(folder, "recording.wav")
    recorder = subprocess.Popen(
        ["pw-record", "--target", "quavelor_loop", "--rate", str(SERVER_RATE),
         "--channels", str(CHANNELS), "--format", "s16", recording], env=environment)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2 if case.busy else 0)]
    try:
        time.sleep(0.5)
        arguments = [str(case.mode), str(case.inputs), str(case.outputs), str(case.delay),
                     str(case.rate), str(case.seconds)]
        program = subprocess.Popen([binary, DEVICE] + arguments, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        started = time.monotonic()
        time.sleep(PLAYER_AFTER)
        player = subprocess.Popen(["pw-play", "--target", "quavelor_loop",
                                   os.path.join(folder, f"track-{case.seconds}.wav")],
                                  env=environment)
        if case.stop_at is not None:
            time.sleep(max(0.0, started + case.stop_at - time.monotonic()))
            program.send_signal(signal.SIGSTOP)
            time.sleep(STOP_SECONDS)
            program.send_signal(signal.SIGCONT)
        try:
            out, err = program.communicate(timeout=case.seconds + PROCESS_TIMEOUT)
        except subprocess.TimeoutExpired:
            program.kill()
            out, err = program.communicate()
            check(False, f"{case.name}: still running {PROCESS_TIMEOUT} s after its end")
        player.wait(timeout=PROCESS_TIMEOUT)
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
    time.sleep(0.3)
    recorder.terminate()
    recorder.wait(timeout=PROCESS_TIMEOUT)
    return out, err, program.returncode, read_wave_channels(recording)


def check_run(binary, environment, folder, case):
    out, err, status, channels = record_run(binary, environment, folder, case)
    check(err == b"", f"{case.name}: standard error {err!r}")
    check(status == 0, f"{case.name}: exit status {status}")
    marks = check_marked_output(case.name, out, expected_output(case))
    check(case.stop_at is not None or marks == 0, f"{case.name}: {marks} underrun marks")

    peaks = [window_peaks(samples) for samples in channels]
    heard = {channel: onsets_in(channels[channel], peaks[channel]) for channel in range(CHANNELS)}
    for channel in (0, 1):
        check(len(heard[channel]) == len(click_onsets(case.track_seconds(), channel)),
              f"{case.name}: {len(heard[channel])} clicks recorded on input channel {channel + 1}")
    due = case.heard_delay() * SERVER_RATE
    for output, source in case.routes.items():
        label = f"{case.name}: output channel {output + 1}"
        latencies, unmatched = [], list(heard[output])
        for onset in heard[source]:
            match = [later for later in unmatched if abs(later - onset - due) <= 0.1 * SERVER_RATE]
            if match:
                latencies.append((match[0] - onset - due) / SERVER_RATE)
                unmatched.remove(match[0])
        # A stopped run loses the clicks captured during the stop, and those
        # still in the ring then come out the stop's length late.
        allowed = 2 if case.stop_at is not None else 0
        check(len(heard[source]) - len(latencies) <= allowed,
              f"{label}: {len(latencies)} of {len(heard[source])} clicks came out delayed")
        check(len(unmatched) <= allowed,
              f"{label}: {len(unmatched)} clicks that no input click explains")
        if latencies:
            print(f"{label}: {len(latencies)} clicks, heard {min(latencies) * 1000:+.2f} to "
                  f"{max(latencies) * 1000:+.2f} ms from {case.heard_delay():.4f} s", flush=True)
            check(max(abs(value) for value in latencies) <= LATENCY_BOUND,
                  f"{label}: heard {min(latencies) * 1000:+.2f} to {max(latencies) * 1000:+.2f} ms "
                  "from the delay due")
        gaps = silent_gaps(peaks[output])
        if case.stop_at is None:
            check(not gaps, f"{label}: silent stretches in the tone: {gaps} s")
        else:
            check(len(gaps) <= 1 and sum(gaps) <= LONGEST_STOP_GAP,
                  f"{label}: silent stretches in the tone of a stopped run: {gaps} s")
    for channel in range(2, CHANNELS):
        if channel not in case.routes:
            check(max(peaks[channel], default=0) < SILENT_LEVEL,
                  f"{case.name}: sound on unrouted channel {channel + 1}")


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    binary, server_script, plugin_folder, folder = (os.path.abspath(argument)
                                                    for argument in sys.argv[1:])
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
        for case in RUNS:
            write_track(os.path.join(folder, f"track-{case.seconds}.wav"), case.track_seconds())
        for case in RUNS:
            check_run(binary, environment, folder, case)
    finally:
        stop_server(server_script, server_folder)
    return exit_status()


if __name__ == "__main__":
    sys.exit(main())
