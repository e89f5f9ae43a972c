#!/usr/bin/env python3
"""Real-time runs of quavelor on a simulated sound card, every played frame
measured.

Usage: card_test.py QUAVELOR CARD_PLUGIN WORK_FOLDER

Each case of CASES runs the real program on a card of its own (the plugin
in simulated_card.c, defined in an ALSA configuration written to
WORK_FOLDER), all cases at once, since each card keeps its own clock. The
card's log says how every frame of the watched output channel was heard:
the delay it came out at, in frames, every stretch of silence between
sounds, every frame played twice or out of order, every underrun and
overrun. Every case checks that each frame is heard within a frame of the
delay asked, or not at all; a run on a capture clock apart from playback's
within 2 ms, with single frames slipped.

Exit status 0 when every check holds, 1 when one fails.
"""

import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sound_server_session import check, exit_status, expected_output  # noqa: E402

CUSHION_FRAMES = 3 * 4096   # the shortest cushion: a shorter delay is heard as it
BLOCK = 4096                # the program's cycle, and the card's period
FIFO = 32                   # frames each stream of the card holds beyond its buffer
AFTER_RESUME = 0.05         # seconds after the sound comes back that it must be right
PROCESS_TIMEOUT = 30.0


class case:
    """One run: the program's arguments, the card's options, the output
    channel watched and the capture channel it carries (0-based), and an
    optional stop (SIGSTOP at `stop[0]` seconds, for `stop[1]`)."""

    def __init__(self, name, kind, mode, inputs, outputs, delay, rate, seconds, watch, source,
                 options="", stop=None, granted=None):
        self.name, self.kind, self.mode, self.inputs, self.outputs = name, kind, mode, inputs, outputs
        self.delay, self.rate, self.seconds, self.stop = delay, rate, seconds, stop
        self.watch, self.source, self.options = watch, source, options
        self.granted = granted or rate
        words = options.split()
        self.ppm = int(words[words.index("ppm") + 1]) if "ppm" in words else 0
        self.device = "card_" + name.replace(" ", "_").replace(",", "").replace(".", "_")


CASES = [
    case("mode 1 at 48000", "steady", 1, 1, 1, 1.5, 48000, 10, 0, 0),
    case("mode 2 at 44100", "steady", 2, 3, 1, 1.5, 44100, 10, 1, 3),
    case("mode 3 at 48000, interleaved", "steady", 3, 2, 3, 0.75, 48000, 10, 3, 1, "interleaved 1"),
    case("mode 3 at 44100", "steady", 3, 1, 1, 2.0, 44100, 10, 0, 0),
    case("mode 1 at 44100, no delay", "steady", 1, 2, 2, 0, 44100, 8, 1, 1),
    case("mode 2 at 48000, card stalled 40 ms", "steady", 2, 1, 1, 1.0, 48000, 10, 1, 1,
         "stall_at 4000 stall_for 40"),
    case("mode 1 at 44100, card stalled 20 ms a second", "steady", 1, 1, 2, 1.0, 44100, 10, 1, 0,
         "stall_every 1000 stall_for 20"),
    case("card stalled 300 ms", "stop", 2, 1, 1, 1.0, 48000, 10, 1, 1, "stall_at 4000 stall_for 300"),
    case("card at 48000 only, asked 44100", "steady", 1, 1, 1, 3.0, 44100, 8, 0, 0,
         "rates [ 48000 ]", granted=48000),
    case("capture at 44100 only, playback at 48000", "refused", 1, 1, 1, 1.0, 48000, 8, 0, 0,
         "capture_rate 44100"),
    case("stopped 0.5 s", "stop", 1, 1, 1, 1.5, 48000, 12, 0, 0, stop=(4.0, 0.5)),
    case("stopped 1.5 s", "stop", 3, 1, 1, 1.5, 44100, 12, 1, 0, stop=(4.0, 1.5)),
    case("capture 200 ppm fast", "drift", 1, 1, 1, 1.5, 48000, 120, 0, 0, "ppm 200"),
    case("capture 200 ppm slow", "drift", 2, 1, 1, 1.5, 44100, 120, 0, 0, "ppm -200"),
]


def read_log(path):
    """The log's events as (kind, {field: integer}), the summary last."""
    events = []
    with open(path) as log:
        for line in log:
            kind, *fields = line.split()
            events.append((kind, {k: int(v) for k, v in (f.split("=") for f in fields)}))
    return events


def check_case(run, out, err, status, events):
    name = run.name
    if run.kind == "refused":
        # Refused once both sides are open: the status lines, then the reason.
        check(status == 1, f"{name}: exit status {status}")
        check(out == expected_output(run).split(b"\r")[0].rstrip(b"\n") + b"\n",
              f"{name}: standard output {out!r}")
        check(err == b"Capture runs at 44100 and playback at 48000 frames per second: use "
              b"plughw: or plug: in front of the device name\n", f"{name}: standard error {err!r}")
        return
    summary = events[-1][1] if events and events[-1][0] == "summary" else None
    if not check(summary is not None, f"{name}: no summary in the card's log"):
        return
    delays = [(e["at"], e["frames"]) for kind, e in events if kind == "delay"]
    silences = [(e["at"], e["frames"]) for kind, e in events if kind == "silence"]
    due = max(int(run.granted * run.delay), CUSHION_FRAMES)
    offs = [frames - due for _, frames in delays]
    print(f"{name}: heard {', '.join(f'{o:+d}' for o in offs[:6])}{' ...' if len(offs) > 6 else ''} "
          f"frames from {due} ({len(delays)} settings, {offs[-1] if offs else 0:+d} at the end); "
          f"{summary['silence']} frames of silence in {len(silences)} stretches, "
          f"{summary['underruns']} underruns, {summary['overruns']} overruns, "
          f"{summary['played']} frames played", flush=True)
    marks = out.count(b"\nPX\n"), out.count(b"\nRX\n")
    bare = out.replace(b"\nPX\n", b"").replace(b"\nRX\n", b"")

    check(status == 0, f"{name}: exit status {status}")
    check(err == b"", f"{name}: standard error {err!r}")
    expected = expected_output(run)
    if run.granted != run.rate:
        # The run goes on at the rate the card runs at, and says so.
        timeout = f"Time out at {run.seconds} sec\n".encode()
        expected = expected.replace(timeout, timeout + f"Sample rate = {run.granted}, as the device "
                                    f"does not run at {run.rate}\n".encode())
    check(bare == expected, f"{name}: standard output {out!r}")
    # Following a capture clock slower than playback's plays single frames
    # twice, as many as the clocks part by.
    slipped = abs(run.ppm) * run.granted * run.seconds // 1000000 * 3 // 2
    check(summary["repeats"] <= slipped,
          f"{name}: {summary['repeats']} frames played twice or out of order")
    check(summary["wrong_channel"] == 0, f"{name}: {summary['wrong_channel']} frames of another channel")
    check(abs(summary["played"] - run.granted * run.seconds) <= 2 * BLOCK,
          f"{name}: {summary['played']} frames played in a {run.seconds} s run")
    if run.kind == "stop":
        check(marks[0] + marks[1] >= 1 or not run.stop, f"{name}: no mark for the stop")
        check(marks[0] <= summary["underruns"] and marks[1] <= summary["overruns"],
              f"{name}: marks {marks} for {summary['underruns']} underruns, "
              f"{summary['overruns']} overruns")
        resumed = silences[-1][0] + silences[-1][1] if silences else 0
        settled = resumed + int(AFTER_RESUME * run.rate)
        after = [frames for at, frames in delays if at > settled]
        before = [frames for at, frames in delays if at <= settled]
        after = before[-1:] + after
        check(all(abs(f - due) <= 1 for f in after),
               f"{name}: within a frame of the delay asked from {AFTER_RESUME * 1000:.0f} ms "
               f"after the sound came back on (heard {', '.join(f'{f - due:+d}' for f in after[:5])})")
        check(min(offs) >= -1, f"{name}: nothing early (at least {min(offs):+d} frames)")
        return
    check(marks == (0, 0), f"{name}: {marks[0]} underrun and {marks[1]} overrun marks")
    check(summary["underruns"] + summary["overruns"] == 0, f"{name}: the card saw an xrun")
    check(summary["silence"] == 0, f"{name}: silence between sounds: {silences}")
    if run.kind == "drift":
        check(max(abs(o) for o in offs) <= run.rate // 500,
               f"{name}: within 2 ms of the delay asked (drifted {min(offs):+d} to {max(offs):+d})")
        return
    check(all(abs(o) <= 1 for o in offs), f"{name}: within a frame of the delay asked from the first sound")


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    binary, plugin, folder = (os.path.abspath(argument) for argument in sys.argv[1:])
    os.makedirs(folder, exist_ok=True)
    devices = os.path.join(folder, "devices.conf")
    with open(devices, "w") as conf:
        conf.write(f'pcm_type.simulated_card {{ lib "{plugin}" }}\n')
        for run in CASES:
            run.log = os.path.join(folder, run.device + ".log")
            if os.path.exists(run.log):
                os.remove(run.log)
            conf.write(f'pcm.{run.device} {{ type simulated_card fifo {FIFO} watch {run.watch} '
                       f'source {run.source} {run.options} log "{run.log}" }}\n')
    environment = dict(os.environ, ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + devices)
    started = time.monotonic()
    for run in CASES:
        arguments = [run.device] + [str(a) for a in (run.mode, run.inputs, run.outputs, run.delay,
                                                     run.rate, run.seconds)]
        run.process = subprocess.Popen([binary] + arguments, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       env=environment)
    # The stops, in the order they fall due.
    for at, run, sent in sorted([(r.stop[0], r, signal.SIGSTOP) for r in CASES if r.stop] +
                                [(r.stop[0] + r.stop[1], r, signal.SIGCONT) for r in CASES if r.stop],
                                key=lambda event: event[0]):
        time.sleep(max(0.0, started + at - time.monotonic()))
        run.process.send_signal(sent)
    for run in CASES:
        try:
            out, err = run.process.communicate(timeout=run.seconds + PROCESS_TIMEOUT)
        except subprocess.TimeoutExpired:
            run.process.kill()
            out, err = run.process.communicate()
            check(False, f"{run.name}: still running {PROCESS_TIMEOUT} s after its end")
        check_case(run, out, err, run.process.returncode,
                   read_log(run.log) if os.path.exists(run.log) else [])
    return exit_status()


if __name__ == "__main__":
    sys.exit(main())
