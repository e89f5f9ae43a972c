#!/usr/bin/env python3
"""Real-time runs of quavelor through a private, headless PulseAudio server.

Usage: realtime_test.py QUAVELOR PULSE_SERVER_SCRIPT DEVICES_CONF WORK_FOLDER

The test starts its own server with scripts/pulse-server.sh in WORK_FOLDER,
runs the program on it in real time and stops the server again.

Clicks and a tone through the server's loop sink quavelor_loop (the loop sink
of tests/support/sound_server_session.py), each run of RUNS checked as
check_run there says: through the devices "pulse" and "default" (the
server's plugin, which takes interleaved access only), at 48000 and 44100,
and through "pulse" stopped for a second. "plug:pulse" is run below for a
prompt end, not for the delay: its capture side reports no delay in most
looks, so its delay rests mostly on the look made as the streams start.

Runs on the devices of DEVICES_CONF, which differ from plug:pulse only in
whether the server plugin reports a playback stream that ran dry as an
underrun (quavelor_pulse_underruns) or never does
(quavelor_pulse_no_underruns), checked as they come:
  - mode 2 on quavelor_pulse_no_underruns: standard output byte for byte,
    empty standard error, exit status 0; the progress marks arrive one
    second apart in real time; the process ends within END_ALLOWANCE
    seconds of the closing line (the drains are bounded);
  - mode 3 on quavelor_pulse_no_underruns, stopped with SIGSTOP for
    STOP_SECONDS and continued: the same exact output, so no mark at all,
    exit status 0, a prompt end;
  - the same stopped run on plug:pulse and on quavelor_pulse_underruns: the
    closing line, exit status 0, a prompt end, and output that is exact once
    underrun marks are taken out. Whether those two devices mark an underrun
    depends on the server's timing, so the count is printed, not checked. A
    capture stream of the server never reports an overrun (the plugin keeps
    its position short of a full buffer), so no overrun mark may appear.

Exit status 0 when every check holds, 1 when one fails, 77 (skipped) when the
sound-server tools are not installed.
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sound_server_session import (  # noqa: E402
    CHANNELS, SERVER_RATE, check, check_marked_output, check_run, exit_status, loop_sink,
    run_case, start_server, stop_server, warm_up)

RATE = 48000
DELAY_SECONDS = 1.5
RUN_SECONDS = 6

# How far apart consecutive progress marks may arrive, in seconds. They are
# written once per second of audio accepted by the playback stream, so on an
# idle machine they arrive 1.000 s apart; the range leaves room for a busy one.
PROGRESS_STEP_RANGE = (0.5, 1.5)
# The whole span from "1 sec" to the last mark, against whole seconds.
PROGRESS_SPAN_TOLERANCE = 0.5
# Seconds from the closing line to the process ending: measured 0.05 to 0.11 s.
END_ALLOWANCE = 1.0
STOP_AFTER_SECONDS = 2.0     # into the run, when SIGSTOP is sent
STOP_SECONDS = 1.0
PROCESS_TIMEOUT = 15.0       # a run that takes longer has hung

RUNS = [
    run_case("pulse at 48000", "pulse", 2, 1, 3, 1.5, 48000, 12, {2: 0, 3: 1}),
    run_case("pulse at 44100", "pulse", 2, 1, 3, 1.5, 44100, 12, {2: 0, 3: 1}),
    run_case("default at 44100", "default", 3, 1, 3, 0.5, 44100, 9, {2: 0, 3: 0}),
    run_case("pulse at 44100, stopped", "pulse", 3, 2, 3, 1.0, 44100, 12, {2: 1, 3: 1},
             stop_at=4.0),
]

CHANNEL_MAP = "--channel-map=front-left,front-right,rear-left,rear-right"
SINK = loop_sink(
    player=lambda track: ["paplay", "-d", "quavelor_loop", CHANNEL_MAP, track],
    recorder=lambda recording: ["parec", "-d", "quavelor_loop.monitor", f"--rate={SERVER_RATE}",
                                f"--channels={CHANNELS}", "--format=s16le", "--file-format=wav",
                                CHANNEL_MAP, recording])


class run_record:
    """What one run of quavelor wrote and when (monotonic seconds)."""

    def __init__(self):
        self.out = b""
        self.err = b""
        self.chunks = []        # (arrival time, bytes) of standard output
        self.started = 0.0
        self.ended = 0.0
        self.exit_code = None

    def arrival_of(self, text):
        """When standard output first held `text`, or None."""
        seen = b""
        for arrival, chunk in self.chunks:
            seen += chunk
            if text in seen:
                return arrival
        return None


def run_quavelor(binary, arguments, environment, stop_after=None):
    """Runs quavelor, reading its output as it comes. With `stop_after`, the
    process is stopped that many seconds after its start and continued
    STOP_SECONDS later."""
    record = run_record()
    record.started = time.monotonic()
    process = subprocess.Popen([binary] + arguments, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
    streams = {process.stdout.fileno(): "out", process.stderr.fileno(): "err"}
    stopped_at = None
    continued = False
    while streams:
        now = time.monotonic()
        if now - record.started > PROCESS_TIMEOUT:
            process.kill()
            check(False, f"{' '.join(arguments)}: still running after {PROCESS_TIMEOUT} s")
            break
        if stop_after is not None and stopped_at is None and now - record.started >= stop_after:
            process.send_signal(signal.SIGSTOP)
            stopped_at = now
        if stopped_at is not None and not continued and now - stopped_at >= STOP_SECONDS:
            process.send_signal(signal.SIGCONT)
            continued = True
        ready, _, _ = select.select(list(streams), [], [], 0.01)
        for descriptor in ready:
            chunk = os.read(descriptor, 65536)
            if not chunk:
                del streams[descriptor]
            elif streams[descriptor] == "out":
                record.chunks.append((time.monotonic(), chunk))
                record.out += chunk
            else:
                record.err += chunk
    record.exit_code = process.wait()
    record.ended = time.monotonic()
    return record


def expected_output(device, mode):
    if mode == 2:
        routing = "Mode = 2 (stereo in -> stereo out)\nInput Channels = 1+2\n"
    else:
        routing = "Mode = 3 (mono in -> stereo out)\nInput Channel = 1\n"
    progress = "".join(f"\r{second} sec" for second in range(1, RUN_SECONDS))
    return (f"Device = {device}\n{routing}Output Channels = 1+2\n"
            f"Time delay ~ {DELAY_SECONDS:.3f} sec\nSample rate = {RATE}\n"
            f"Time out at {RUN_SECONDS} sec\n{progress}\nFinished\n").encode()


def arguments_for(device, mode):
    return [device, str(mode), "1", "1", str(DELAY_SECONDS), str(RATE), str(RUN_SECONDS)]


def check_complete_run(name, record):
    """Closing line, nothing on standard error, status 0, a prompt end."""
    check(record.err == b"", f"{name}: standard error {record.err!r}")
    check(record.exit_code == 0, f"{name}: exit status {record.exit_code}")
    finished = record.arrival_of(b"\nFinished\n")
    if check(finished is not None and record.out.endswith(b"\nFinished\n"),
             f"{name}: no closing line at the end of {record.out!r}"):
        after = record.ended - finished
        print(f"{name}: ended {after:.3f} s after the closing line")
        check(after <= END_ALLOWANCE, f"{name}: ended {after:.3f} s after the closing line")


def check_progress_pace(name, record):
    arrivals = [record.arrival_of(f"\r{second} sec".encode()) for second in range(1, RUN_SECONDS)]
    if not check(None not in arrivals, f"{name}: progress marks missing"):
        return
    steps = [later - earlier for earlier, later in zip(arrivals, arrivals[1:])]
    print(f"{name}: progress marks apart " + " ".join(f"{step:.3f}" for step in steps))
    for step in steps:
        check(PROGRESS_STEP_RANGE[0] <= step <= PROGRESS_STEP_RANGE[1],
              f"{name}: progress marks {step:.3f} s apart")
    span = arrivals[-1] - arrivals[0]
    check(abs(span - (len(arrivals) - 1)) <= PROGRESS_SPAN_TOLERANCE,
          f"{name}: progress from 1 sec to {len(arrivals)} sec took {span:.3f} s")


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    binary, server_script, devices_conf, folder = (os.path.abspath(argument)
                                                   for argument in sys.argv[1:])
    for tool in ("pulseaudio", "pactl", "paplay", "parec"):
        if shutil.which(tool) is None:
            print(f"skipped: {tool} is not installed")
            return 77
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    server_folder = os.path.join(folder, "server")
    environment = start_server(server_script, server_folder)
    environment["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + devices_conf
    try:
        device = "quavelor_pulse_no_underruns"
        record = run_quavelor(binary, arguments_for(device, 2), environment)
        check(record.out == expected_output(device, 2), f"mode_2: standard output {record.out!r}")
        check_complete_run("mode_2", record)
        check_progress_pace("mode_2", record)

        record = run_quavelor(binary, arguments_for(device, 3), environment,
                              stop_after=STOP_AFTER_SECONDS)
        check(record.out == expected_output(device, 3),
              f"stopped_mode_3: standard output {record.out!r}")
        check_complete_run("stopped_mode_3", record)

        for device, name in (("plug:pulse", "stopped_plug_pulse"),
                             ("quavelor_pulse_underruns", "stopped_underruns")):
            record = run_quavelor(binary, arguments_for(device, 3), environment,
                                  stop_after=STOP_AFTER_SECONDS)
            check_complete_run(name, record)
            check(b"\nRX\n" not in record.out, f"{name}: overrun mark in {record.out!r}")
            check_marked_output(name, record.out, expected_output(device, 3))

        looped = dict(environment, PULSE_SINK="quavelor_loop", PULSE_SOURCE="quavelor_loop.monitor")
        warm_up(looped, folder, SINK)
        for case in RUNS:
            check_run(binary, looped, folder, case, SINK)
    finally:
        stop_server(server_script, server_folder)
    return exit_status()


if __name__ == "__main__":
    sys.exit(main())
