#!/usr/bin/env python3
"""Clicks through quavelor in real time, on a private PipeWire server.

Usage: click_delay_test.py QUAVELOR SERVER_SCRIPT PLUGIN_FOLDER WORK_FOLDER

The test starts its own server with scripts/pipewire-server.sh in
WORK_FOLDER. The server's ALSA plugin is taken from PLUGIN_FOLDER, where
scripts/install-dependencies.sh unpacks it (its package cannot be installed
next to pulseaudio), or else from the system's plugin folder; the device
quavelor_pipewire is defined on it in an ALSA configuration written to
WORK_FOLDER. The server's node quavelor_loop has four channels and gives
back on its capture side what is played into it. A click track goes into
channels 1 and 2, quavelor captures them and plays them back, delayed, into
channels 3 and 4, and one recording of the node holds both, so the delay is
read off a single time line.

Checked, for each routing:
  - standard output byte for byte once underrun marks are taken out (the
    server reports one now and then, mostly at start-up), empty standard
    error, exit status 0;
  - every click that fits in the run comes out on each routed output
    channel (but one for each underrun mark, whose block is lost), and
    nothing else does;
  - each comes out delayed by the requested delay plus the server's
    latency, the same for every click to within CLICK_SPREAD (no drift, no
    lost stretch), with that latency between 0 and LATENCY_ALLOWANCE.
Across runs:
  - the latency is the same, to within RUN_SPREAD, in runs with delays of
    0, 0.25 and 1.5 seconds, so each delay is the one asked for;
  - a run stopped with SIGSTOP for a second and continued ends as usual,
    with no mark but underrun marks, and clicks well before and well after
    the stop come out with the latency of the other runs: the stop does not
    shift the delay.
The measured latencies are printed.

Runs are at 48000, the server's own rate. Exit status 0 when every check
holds, 1 when one fails, 77 (skipped) when the server's tools or its ALSA
plugin are not installed.
"""

import array
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

RATE = 48000
CHANNELS = 4
# Click onsets in seconds, in channel 1 and in channel 2: uneven gaps, so
# that no click can be taken for its neighbour whatever the delay.
CLICKS = {
    0: [0.40, 1.00, 1.90, 2.60, 3.70, 4.50, 5.50, 6.15],
    1: [0.70, 1.45, 2.20, 3.25, 4.05, 5.05, 5.80],
}
CLICK_FRAMES = 96          # 2 ms of a 2 kHz square wave
CLICK_LEVEL = 20000
THRESHOLD = 8000           # an onset is the first sample beyond this
TRACK_SECONDS = 8.0
# Latency of the server on top of the requested delay: 0.128 s measured.
LATENCY_ALLOWANCE = 0.300
CLICK_SPREAD = 0.002       # seconds between the latest and earliest click
# Between runs with different delays the server may settle one of its
# processing blocks (about 21 ms) apart; a delay made wrongly by more than
# that shows as a latency that differs from run to run.
RUN_SPREAD = 0.025
PROCESS_TIMEOUT = 30.0
PLAYER_AFTER = 0.3         # seconds from starting quavelor to starting the track
STOP_SECONDS = 1.0
DEVICE = "quavelor_pipewire"
PLUGIN = "libasound_module_pcm_pipewire.so"


def write_click_track(path):
    frames = int(TRACK_SECONDS * RATE)
    samples = array.array("h", bytes(2 * CHANNELS * frames))
    for channel, onsets in CLICKS.items():
        for onset in onsets:
            first = int(onset * RATE)
            for k in range(CLICK_FRAMES):
                level = CLICK_LEVEL if (k // 12) % 2 == 0 else -CLICK_LEVEL
                samples[CHANNELS * (first + k) + channel] = level
    with wave.open(path, "wb") as track:
        track.setnchannels(CHANNELS)
        track.setsampwidth(2)
        track.setframerate(RATE)
        track.writeframes(samples.tobytes())


def read_wave_samples(path):
    """The 16-bit samples of a WAV file, also of the extensible kind that
    the recorder writes for more than two channels."""
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
            return samples
        position += 8 + size + (size & 1)
    return array.array("h")


def onsets_in(samples, channel):
    """Frame numbers where clicks start in one channel of a recording."""
    found = []
    last = None
    for frame in range(len(samples) // CHANNELS):
        if abs(samples[CHANNELS * frame + channel]) > THRESHOLD:
            if last is None or frame - last > RATE // 5:
                found.append(frame)
            last = frame
    return found


def find_plugin(plugin_folder):
    for root, _, files in os.walk(plugin_folder):
        if PLUGIN in files:
            return os.path.join(root, PLUGIN)
    multiarch = subprocess.run(["gcc", "-print-multiarch"], capture_output=True,
                               text=True).stdout.strip()
    system = os.path.join("/usr/lib", multiarch, "alsa-lib", PLUGIN)
    return system if os.path.exists(system) else None


def expected_output(mode, inputs, outputs, delay, seconds):
    names = {1: "1 (mono in -> mono out)", 2: "2 (stereo in -> stereo out)",
             3: "3 (mono in -> stereo out)"}
    routing = f"Mode = {names[mode]}\n"
    if mode == 2:
        routing += f"Input Channels = {inputs}+{inputs + 1}\n"
    else:
        routing += f"Input Channel = {inputs}\n"
    if mode == 1:
        routing += f"Output Channel = {outputs}\n"
    else:
        routing += f"Output Channels = {outputs}+{outputs + 1}\n"
    progress = "".join(f"\r{second} sec" for second in range(1, seconds))
    return (f"Device = {DEVICE}\n{routing}Time delay ~ {delay:.3f} sec\n"
            f"Sample rate = {RATE}\nTime out at {seconds} sec\n{progress}\nFinished\n").encode()


def record_run(binary, environment, folder, name, arguments, stop_at=None):
    """Runs quavelor with `arguments` while the click track plays and the
    loop node is recorded. With `stop_at`, the program is stopped that many
    seconds after its start and continued STOP_SECONDS later. Returns its
    standard output, standard error and exit status, the click onsets heard
    on each channel, and the frame where the track starts in the recording."""
    recording = os.path.join(folder, f"{name}.wav")
    recorder = subprocess.Popen(
        ["pw-record", "--target", "quavelor_loop", "--rate", str(RATE),
         "--channels", str(CHANNELS), "--format", "s16", recording], env=environment)
    time.sleep(0.5)
    program = subprocess.Popen([binary, DEVICE] + arguments, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
    started = time.monotonic()
    time.sleep(PLAYER_AFTER)
    player = subprocess.Popen(["pw-play", "--target", "quavelor_loop",
                               os.path.join(folder, "clicks.wav")], env=environment)
    if stop_at is not None:
        time.sleep(max(0.0, started + stop_at - time.monotonic()))
        program.send_signal(signal.SIGSTOP)
        time.sleep(STOP_SECONDS)
        program.send_signal(signal.SIGCONT)
    try:
        out, err = program.communicate(timeout=PROCESS_TIMEOUT)
    except subprocess.TimeoutExpired:
        program.kill()
        out, err = program.communicate()
        check(False, f"{name}: still running after {PROCESS_TIMEOUT} s")
    player.wait(timeout=PROCESS_TIMEOUT)
    time.sleep(0.3)
    recorder.terminate()
    recorder.wait(timeout=PROCESS_TIMEOUT)

    samples = read_wave_samples(recording)
    heard = {channel: onsets_in(samples, channel) for channel in range(CHANNELS)}
    for channel in (0, 1):
        check(len(heard[channel]) == len(CLICKS[channel]),
              f"{name}: {len(heard[channel])} clicks recorded on input channel {channel + 1}")
    track_start = heard[0][0] - int(CLICKS[0][0] * RATE) if heard[0] else None
    return out, err, program.returncode, heard, track_start


def check_run(name, out, err, status, expected):
    """Empty standard error, exit status 0 and the expected standard output
    but for underrun marks. Returns the number of marks."""
    check(err == b"", f"{name}: standard error {err!r}")
    check(status == 0, f"{name}: exit status {status}")
    return check_marked_output(name, out, expected)


def comes_out_in_time(at, delay, seconds):
    """Whether a click `at` frames into the track comes out a second or more
    before a run of `seconds` ends; later ones may be cut off."""
    return at + (delay + LATENCY_ALLOWANCE + 1) * RATE < seconds * RATE


def latency_of(onset, outputs_heard, delay):
    """The latency beyond the delay with which the click starting at frame
    `onset` came out, or None when none of `outputs_heard` fits."""
    for later in outputs_heard:
        frames = later - onset - delay * RATE
        if -CLICK_SPREAD * RATE <= frames <= (LATENCY_ALLOWANCE + CLICK_SPREAD) * RATE:
            return frames / RATE
    return None


def check_latencies(label, latencies):
    if not latencies:
        return
    print(f"{label}: {len(latencies)} clicks, latency beyond the delay "
          f"{min(latencies) * 1000:.1f} to {max(latencies) * 1000:.1f} ms", flush=True)
    check(max(latencies) - min(latencies) <= CLICK_SPREAD,
          f"{label}: latencies spread over {(max(latencies) - min(latencies)) * 1000:.1f} ms")
    check(0 <= min(latencies) and max(latencies) <= LATENCY_ALLOWANCE,
          f"{label}: latency {min(latencies):.4f} to {max(latencies):.4f} s")


def run_case(binary, environment, folder, name, mode, inputs, outputs, delay, seconds,
             routes):
    """One run: `routes` maps each output channel (0-based) that must carry
    clicks to the input channel they come from. Returns the latencies
    measured beyond the delay, in seconds."""
    arguments = [str(mode), str(inputs), str(outputs), str(delay), str(RATE), str(seconds)]
    out, err, status, heard, track_start = record_run(binary, environment, folder, name,
                                                      arguments)
    marks = check_run(name, out, err, status,
                      expected_output(mode, inputs, outputs, delay, seconds))
    if track_start is None:
        return []
    measured = []
    for output, source in routes.items():
        inputs_heard = heard[source]
        outputs_heard = heard[output]
        latencies = [latency for latency in (latency_of(onset, outputs_heard, delay)
                                             for onset in inputs_heard) if latency is not None]
        due = [onset for onset in inputs_heard
               if comes_out_in_time(onset - track_start, delay, seconds)]
        label = f"{name}: output channel {output + 1}"
        # An underrun loses the block being written, so a click in it.
        check(len(latencies) >= len(due) - marks,
              f"{label}: {len(latencies)} of {len(due)} due clicks came out delayed "
              f"({marks} underrun marks)")
        check(len(outputs_heard) == len(latencies),
              f"{label}: {len(outputs_heard)} clicks heard, {len(latencies)} of them delayed clicks")
        check_latencies(label, latencies)
        measured += latencies
    for channel in range(2, CHANNELS):
        if channel not in routes:
            check(not heard[channel], f"{name}: clicks on unrouted channel {channel + 1}")
    return measured


def run_stopped_case(binary, environment, folder, latency):
    """Mode 3, stopped for STOP_SECONDS in the middle of the run: the run
    ends as usual, with underrun marks at most, and clicks well before and
    well after the stop come out with `latency`, the latency of the other
    runs: the delay is the same after the stop as before it."""
    name = "mode 3 stopped"
    delay, seconds, stop_at = 0.5, 9, 3.0
    arguments = ["3", "1", "3", str(delay), str(RATE), str(seconds)]
    out, err, status, heard, track_start = record_run(binary, environment, folder, name,
                                                      arguments, stop_at=stop_at)
    marks = check_run(name, out, err, status, expected_output(3, 1, 3, delay, seconds))
    if track_start is None or latency is None:
        return
    # The stop on the track's time line, widened by a second each way for
    # the server's buffering and the processes' start-up.
    stop_begins = (stop_at - PLAYER_AFTER - 1) * RATE
    stop_ends = (stop_at - PLAYER_AFTER + STOP_SECONDS + 1) * RATE
    for output in (2, 3):
        label = f"{name}: output channel {output + 1}"
        before, after = [], []
        for onset in heard[0]:
            at = onset - track_start
            if at < stop_begins:
                before.append(onset)
            elif at > stop_ends and comes_out_in_time(at, delay, seconds):
                after.append(onset)
        found = []
        for part, onsets in (("before the stop", before), ("after the stop", after)):
            latencies = [latency_of(onset, heard[output], delay) for onset in onsets]
            check(onsets and latencies.count(None) <= marks,
                  f"{label}: {latencies.count(None)} of {len(onsets)} clicks {part} missing "
                  f"({marks} underrun marks)")
            found += [value for value in latencies if value is not None]
        check_latencies(f"{label}, before and after the stop", found)
        if found:
            check(abs(sum(found) / len(found) - latency) <= RUN_SPREAD,
                  f"{label}: latency {sum(found) / len(found):.4f} s, other runs {latency:.4f} s")


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
        write_click_track(os.path.join(folder, "clicks.wav"))
        latencies = []
        latencies += run_case(binary, environment, folder, "mode 2", 2, 1, 3, 1.5, 7,
                              {2: 0, 3: 1})
        latencies += run_case(binary, environment, folder, "mode 3", 3, 1, 3, 0.25, 7,
                              {2: 0, 3: 0})
        latencies += run_case(binary, environment, folder, "mode 1", 1, 2, 4, 0, 7, {3: 1})
        run_stopped_case(binary, environment, folder,
                         sum(latencies) / len(latencies) if latencies else None)
        if latencies:
            print(f"latency beyond the delay over all runs: {min(latencies) * 1000:.1f} to "
                  f"{max(latencies) * 1000:.1f} ms")
            check(max(latencies) - min(latencies) <= RUN_SPREAD,
                  f"latencies differ by {(max(latencies) - min(latencies)) * 1000:.1f} ms "
                  "between runs")
    finally:
        stop_server(server_script, server_folder)
    return exit_status()


if __name__ == "__main__":
    sys.exit(main())
