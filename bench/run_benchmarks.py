#!/usr/bin/env python3
"""Runs quavelor's benchmarks and prints one table.

    run_benchmarks.py SOURCE_DIR BUILD_DIR [SECTION...]

runs the numbered sections below, all of them or only those given. Every
figure is measured in this run, beside the figure it is compared with:

  1. Ring throughput: one track's bytes through append and extract (Google
     Benchmark, CPU time), beside two plain memcpy's of the same bytes.
  2. Whole run: CPU time (user + system, from wait4) of 300 s of 2-channel
     44.1 kHz audio on the unpaced file-backed device, beside the floor
     program (open the device the same way, read and write blocks, nothing
     else) and sox doing the same job. Several rounds, the three contenders
     taking turns; the ratio is the median of each round's own ratio. First
     each contender plays once into a file: at least 300 s, silence for the
     delay, then its input (byte for byte, or else how much of it, in order).
  3. Peak resident memory: a 600 s delay for a few seconds of audio, and runs
     long enough to fill the 600 s rings in modes 1 and 2, beside the audio
     those rings hold and sox doing the same job.
  4. Real-time CPU: CPU time per wall second of a 20 s run through plug:pulse
     on a private PulseAudio server, beside sox doing the same job; also over
     a steady window that leaves out start-up and the end.
  5. Instructions per second of audio (callgrind) for the whole-run case,
     beside the floor program and sox.
  6. Real time through PipeWire: a track of clicks over a continuous tone
     through quavelor at 44100 and at 48000 on a private PipeWire server,
     recorded with the output on one time line (as tests/pipewire does):
     underrun marks, the share of silent 10 ms windows once the tone has
     arrived, how far the clicks come out from the delay asked for, and CPU
     time per wall second of all the program's threads, the PipeWire
     client's included, beside sox doing the same job.
  7. Simulated card at 48000: quavelor in mode 2 on the simulated sound card
     (tests/simulated_card/), which logs how every frame of the watched
     output channel was heard. A steady 12 s run: the delay heard from its
     first second of sound on, and its first sound, in frames from the delay
     asked for. Frames played twice or out of order, in every run but the
     two drifting ones. A 12 s run stopped for 1.5 s (SIGSTOP, then
     SIGCONT): the frames of silence between sounds, and how long after the
     sound came back the delay heard was within a frame of the one asked for
     again, for good (and the card's frames from its underrun to the sound's
     return: it stands still in between, so they are not in its silence).
     Two 120 s runs on a capture clock 200 ppm faster and 200 ppm slower
     than playback's: the lowest and highest delay heard over the whole run,
     in frames from the one asked for, and the frames played twice, beside
     the frames the two clocks part by. CPU time per wall second (wait4) of
     a 60 s run, the card's own work in the plugin included. All five runs
     play at once, each on a card and clock of its own.
  8. A stop through the sound servers: a 12 s run of quavelor at 44100
     through pulse on a private PulseAudio server, then one through a
     private PipeWire server, each stopped for 1 s (SIGSTOP, then SIGCONT),
     with the track of clicks recorded through the server's loop sink as in
     section 6: how far the clicks due out before the stop, and those due
     out more than 2 s after it ended, come out from the delay asked for
     (the worst of each), and how many of the clicks due out from the stop
     to 2 s after it never come out.

Detailed figures and callgrind profiles are left in BUILD_DIR/bench-results.
The exit status is 0 when every measurement could be made (whatever the
targets say), 1 otherwise.
"""

import json
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from array import array

BYTES_PER_SAMPLE = 3
MIB = 1024 * 1024

# 1. Ring throughput.
THROUGHPUT_TARGET = 0.5  # ring cycle at least half the speed of two memcpy's

# 2. Whole run on the file-backed device.
WHOLE_RUN_RATE = 44100
WHOLE_RUN_CHANNELS = 2
WHOLE_RUN_SECONDS = 300
WHOLE_RUN_DELAY = 3
WHOLE_RUN_ROUNDS = 9
WHOLE_RUN_TARGET = 1.10  # quavelor's CPU time at most this many times the floor's

# 3. Memory.
LONG_DELAY = 600
SHORT_RUN_SECONDS = 5
SHORT_RUN_LIMIT_MIB = 16
HELD_FACTOR = 1.05  # full rings: peak memory at most this times the audio held ...
HELD_MARGIN_MIB = 8  # ... plus this much
BLOCK_FRAMES = 4096

# 4. Real time through PulseAudio.
PULSE_DEVICE = "pulse"
PULSE_RATE = 48000
PULSE_SECONDS = 20
PULSE_TARGET_PERCENT = 1.0
PULSE_GRACE_SECONDS = 10  # beyond the audio's length, before a run is ended
DRAIN_GRACE_SECONDS = 3  # after quavelor's closing line, before it is ended
PULSE_ATTEMPTS = 2  # a run that stalls is tried once more
STEADY_FROM_SECONDS = 5  # the steady window leaves out start-up

# 5. Instruction counts.
CALLGRIND_SECONDS = 30
INSTRUCTIONS_TARGET = 1.10  # quavelor's instructions at most this many times the floor's

# 6. Real time through PipeWire.
PIPEWIRE_RATES = (44100, 48000)
PIPEWIRE_SECONDS = 20
PIPEWIRE_DELAY = 1.5
PIPEWIRE_ERROR_TARGET = 0.002  # seconds between the delay heard and the one asked for

# 7. Real time on the simulated card.
CARD_RATE = 48000
CARD_DELAY = 1.5
CARD_FIFO = 32  # frames each stream of the card holds beyond its buffer
CARD_CUSHION_FRAMES = 3 * 4096  # the shortest cushion: a shorter delay is heard as it
CARD_SHORT_SECONDS = 12  # the steady run and the stopped one
CARD_STOP = (4.0, 1.5)  # SIGSTOP this many seconds after the start, SIGCONT this many later
CARD_DRIFT = {"fast": 200, "slow": -200}  # ppm of the capture clock from playback's, by run
CARD_DRIFT_SECONDS = 120
CARD_DRIFT_TARGET = CARD_RATE // 500  # frames between the delay heard and the one asked for: 2 ms
CARD_CPU_SECONDS = 60
CARD_STEADY_AFTER_SECONDS = 1  # of sound, before the delay heard counts as steady
CARD_DELAY_TARGET = 1  # frames between the delay heard and the one asked for
CARD_SETTLE_TARGET = 0.05  # seconds after the sound comes back, as the card test wants
CARD_CPU_TARGET_PERCENT = 0.5

# 8. A stop through the sound servers.
SERVER_STOP_RATE = 44100
SERVER_STOP_SECONDS = 12
SERVER_STOP_DELAY = 1.5
SERVER_STOP_AT = 3.8  # seconds into the run: the stop's edges fall between clicks due out

BENCH_DEVICE = "quavelor_bench"
CHECK_DEVICE = "quavelor_bench_check"


class MeasurementError(Exception):
    pass


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def delay_bytes_for(delay_seconds, sample_rate):
    """The bytes of one track that quavelor's ring holds for a delay: whole
    frames of rate times delay, computed in single precision."""
    return int(float32(float32(sample_rate) * float32(delay_seconds))) * BYTES_PER_SAMPLE


def median(values):
    return statistics.median(values)


def read_available(stream):
    """What a non-blocking pipe holds now, possibly nothing."""
    try:
        return stream.read() or b""
    except BlockingIOError:
        return b""


def log(message):
    print(message, file=sys.stderr, flush=True)


class Bench:
    def __init__(self, source_dir, build_dir):
        self.source_dir = os.path.abspath(source_dir)
        self.build_dir = os.path.abspath(build_dir)
        self.quavelor = os.path.join(self.build_dir, "quavelor")
        self.floor = os.path.join(self.build_dir, "bench", "device_floor")
        self.run_measured = os.path.join(self.build_dir, "bench", "run_measured")
        self.throughput = os.path.join(self.build_dir, "bench", "ring_throughput_bench")
        self.results = os.path.join(self.build_dir, "bench-results")
        os.makedirs(self.results, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="quavelor-bench-")
        self.device_environment = dict(
            os.environ,
            ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:"
            + os.path.join(self.source_dir, "bench", "bench_devices.conf"),
            QUAVELOR_TEST_DIR=self.work,
        )
        self.rows = []
        self.notes = []
        self.details = {}

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    # Running programs.

    def measured(self, command, environment, stdout=subprocess.DEVNULL, timeout=None):
        """Runs `command` under run_measured; returns its report as a dict."""
        report = os.path.join(self.work, "report.txt")
        if os.path.exists(report):
            os.remove(report)
        subprocess.run([self.run_measured, report] + command, env=environment, stdout=stdout,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout, check=True)
        with open(report) as file:
            fields = dict(item.split("=") for item in file.read().split())
        figures = {key: float(value) for key, value in fields.items()}
        figures["cpu_s"] = figures["user_s"] + figures["system_s"]
        return figures

    def quavelor_command(self, device, mode, delay, rate, seconds):
        return [self.quavelor, device, str(mode), "1", "1", str(delay), str(rate), str(seconds)]

    def floor_command(self, device, channels, rate, seconds):
        return [self.floor, device, str(channels), str(rate), str(seconds * rate)]

    @staticmethod
    def sox_command(device, channels, rate, delay, seconds, delayed_channels=None):
        # Every channel delayed unless told otherwise ("delay 3" alone delays
        # only the first); the trim makes sox stop after `seconds` of output.
        side = ["-t", "alsa", "-r", str(rate), "-c", str(channels), "-b", "24", "-e", "signed-integer",
                device]
        delays = [str(delay)] * (channels if delayed_channels is None else delayed_channels)
        return ["sox", "-q"] + side + side + ["delay"] + delays + ["trim", "0", str(seconds)]

    # 1. Ring throughput.

    def ring_throughput(self):
        log("ring throughput ...")
        output = subprocess.run([self.throughput, "--benchmark_format=json",
                                 "--benchmark_enable_random_interleaving=true"],
                                check=True, capture_output=True, text=True).stdout
        with open(os.path.join(self.results, "ring_throughput.json"), "w") as file:
            file.write(output)
        medians = {}
        for entry in json.loads(output)["benchmarks"]:
            if entry.get("aggregate_name") == "median":
                medians[entry["run_name"].split("/")[0]] = entry["bytes_per_second"]
        ring, copies = medians["ring_cycle"], medians["two_memcpys"]
        ratio = ring / copies
        self.rows.append(["ring cycle, 1 track, 4096 frames", f"{ring / 1e9:.2f} GB/s",
                          f"2 memcpy {copies / 1e9:.2f} GB/s", f"{ratio:.2f}",
                          f">= {THROUGHPUT_TARGET:.2f}", ratio >= THROUGHPUT_TARGET])

    # 2. Whole run.

    def write_capture_file(self, seconds, channels, rate):
        """in.raw: `seconds` of interleaved S24_3LE frames in which every
        frame is told apart by its first channel, a 24-bit frame counter (the
        other channels hold the counter with every byte flipped)."""
        frames = seconds * rate
        counter = array("I", range(frames)).tobytes()
        flipped = counter.translate(bytes(value ^ 0x55 for value in range(256)))
        frame_bytes = channels * BYTES_PER_SAMPLE
        content = bytearray(frames * frame_bytes)
        for channel in range(channels):
            source = counter if channel == 0 else flipped
            for byte in range(BYTES_PER_SAMPLE):
                content[channel * BYTES_PER_SAMPLE + byte::frame_bytes] = source[byte::4]
        path = os.path.join(self.work, "in.raw")
        with open(path, "wb") as file:
            file.write(content)
        return path

    @staticmethod
    def frame_numbers(played, channels):
        """The counter of every played frame (see write_capture_file)."""
        frame_bytes = channels * BYTES_PER_SAMPLE
        frames = len(played) // frame_bytes
        widened = bytearray(4 * frames)
        for byte in range(BYTES_PER_SAMPLE):
            widened[byte::4] = played[byte:frames * frame_bytes:frame_bytes]
        numbers = array("I")
        numbers.frombytes(bytes(widened))
        return numbers

    def check_output(self, name, delay_frames, budget_frames):
        """What a contender played on the check device: at least the budget,
        silence for the delay, then the captured frames. Returns the seconds
        played and the captured frames missing from what was played (0 when
        the output is the input delayed, byte for byte), else what it played
        in order and what it left out."""
        channels = WHOLE_RUN_CHANNELS
        frame_bytes = channels * BYTES_PER_SAMPLE
        out_path = os.path.join(self.work, "out.raw")
        with open(os.path.join(self.work, "in.raw"), "rb") as file:
            captured = file.read()
        with open(out_path, "rb") as file:
            played = file.read()
        os.remove(out_path)
        frames = len(played) // frame_bytes
        if frames < budget_frames:
            raise MeasurementError(f"{name} played {frames} frames, fewer than {budget_frames}")
        delay_bytes = delay_frames * frame_bytes
        if played[:delay_bytes] != bytes(delay_bytes):
            raise MeasurementError(f"{name} did not play {delay_frames} frames of silence first")
        compared = budget_frames * frame_bytes - delay_bytes
        if played[delay_bytes:delay_bytes + compared] == captured[:compared]:
            return frames / WHOLE_RUN_RATE, None
        # Not the input byte for byte: it must still start with the captured
        # frames in their order. How far that goes, and how many captured
        # frames it leaves out on the way, is reported.
        numbers = self.frame_numbers(played[delay_bytes:delay_bytes + compared], channels)
        in_order = 1
        while in_order < len(numbers) and numbers[in_order] > numbers[in_order - 1]:
            in_order += 1
        if numbers[0] != 0 or in_order < BLOCK_FRAMES:
            raise MeasurementError(f"{name} did not play its captured frames")
        return frames / WHOLE_RUN_RATE, {"in_order_seconds": in_order / WHOLE_RUN_RATE,
                                         "left_out_frames": numbers[in_order - 1] + 1 - in_order,
                                         "in_order_frames": in_order}

    def whole_run(self):
        rate, channels, seconds, delay = WHOLE_RUN_RATE, WHOLE_RUN_CHANNELS, WHOLE_RUN_SECONDS, WHOLE_RUN_DELAY
        self.write_capture_file(seconds, channels, rate)
        contenders = {
            "floor": lambda device: self.floor_command(device, channels, rate, seconds),
            "quavelor": lambda device: self.quavelor_command(device, 2, delay, rate, seconds),
            "sox": lambda device: self.sox_command(device, channels, rate, delay, seconds),
        }

        log("whole run: checking what each contender plays ...")
        checked = {}
        for name, command in contenders.items():
            figures = self.measured(command(CHECK_DEVICE), self.device_environment)
            if figures["exit"] != 0:
                raise MeasurementError(f"{name} failed on {CHECK_DEVICE}")
            played_seconds, inexact = self.check_output(
                name, 0 if name == "floor" else delay * rate, seconds * rate)
            checked[name] = {"played_seconds": played_seconds, "inexact": inexact}
            if inexact:
                share = inexact["left_out_frames"] / (inexact["left_out_frames"] + inexact["in_order_frames"])
                self.notes.append(
                    f"{name} played {played_seconds:.1f} s, not its input byte for byte: the first "
                    f"{inexact['in_order_seconds']:.1f} s after the delay are captured frames in order, "
                    f"{100 * share:.0f}% of them left out by the device's sample format conversion, "
                    "which reads ahead in in.raw until it runs out")
        self.details["whole_run_checked"] = checked

        log(f"whole run: {WHOLE_RUN_ROUNDS} rounds ...")
        cpu = {name: [] for name in contenders}
        names = list(contenders)
        for round_number in range(WHOLE_RUN_ROUNDS):
            turn = names[round_number % len(names):] + names[:round_number % len(names)]
            for name in turn:
                figures = self.measured(contenders[name](BENCH_DEVICE), self.device_environment)
                if figures["exit"] != 0:
                    raise MeasurementError(f"{name} failed on {BENCH_DEVICE}")
                cpu[name].append(figures["cpu_s"])
        self.details["whole_run_cpu_s"] = cpu
        floor, quavelor, sox = (median(cpu[name]) for name in names)
        # Each round's contenders ran side by side, so a round's ratio is
        # measured under one load; the median of those ratios is the figure.
        ratio = median([q / f for q, f in zip(cpu["quavelor"], cpu["floor"])])
        label = f"whole run CPU, {seconds} s {channels} ch {rate // 1000}.{rate % 1000 // 100} kHz"
        self.rows.append([label, f"{quavelor * 1000:.0f} ms", f"floor {floor * 1000:.0f} ms",
                          f"{ratio:.2f}", f"<= {WHOLE_RUN_TARGET:.2f}", ratio <= WHOLE_RUN_TARGET])
        self.rows.append(["  the same job by sox", "", f"sox {sox * 1000:.0f} ms",
                          f"{quavelor / sox:.2f}", "", None])

    # 3. Memory.

    def memory(self):
        log("memory ...")
        rate = WHOLE_RUN_RATE
        environment = self.device_environment
        short = self.measured(self.quavelor_command(BENCH_DEVICE, 1, LONG_DELAY, rate, SHORT_RUN_SECONDS),
                              environment)
        floor = self.measured(self.floor_command(BENCH_DEVICE, 2, rate, SHORT_RUN_SECONDS), environment)
        resident = short["max_resident_kib"] / 1024
        self.rows.append([f"peak memory, {LONG_DELAY} s delay, {SHORT_RUN_SECONDS} s run",
                          f"{resident:.1f} MiB", f"floor {floor['max_resident_kib'] / 1024:.1f} MiB",
                          "", f"< {SHORT_RUN_LIMIT_MIB} MiB", resident < SHORT_RUN_LIMIT_MIB])

        held_per_track = delay_bytes_for(LONG_DELAY, rate)
        # Long enough for every ring to be full: the delay and a few seconds.
        fill_seconds = LONG_DELAY + 10
        self.details["full_ring"] = {"held_per_track": held_per_track, "run_seconds": fill_seconds}
        for mode, tracks in ((1, 1), (2, 2)):
            figures = self.measured(self.quavelor_command(BENCH_DEVICE, mode, LONG_DELAY, rate, fill_seconds),
                                    environment)
            if figures["exit"] != 0:
                raise MeasurementError(f"quavelor failed in the full-ring run, mode {mode}")
            # sox delays as many channels as quavelor has tracks.
            sox = self.measured(self.sox_command(BENCH_DEVICE, 2, rate, LONG_DELAY, fill_seconds, tracks),
                                environment)
            held = tracks * held_per_track / MIB
            resident = figures["max_resident_kib"] / 1024
            limit = HELD_FACTOR * held + HELD_MARGIN_MIB
            self.rows.append([f"peak memory, full {LONG_DELAY} s rings, mode {mode}", f"{resident:.1f} MiB",
                              f"held {held:.1f} MiB, sox {sox['max_resident_kib'] / 1024:.1f} MiB",
                              f"{resident / held:.2f}", f"<= {limit:.0f} MiB", resident <= limit])

    # 4. Real time through PulseAudio.

    def start_pulse(self, folder):
        output = subprocess.run([os.path.join(self.source_dir, "scripts", "pulse-server.sh"), "start", folder],
                                check=True, capture_output=True, text=True).stdout
        environment = dict(os.environ)
        for line in output.splitlines():
            if line.startswith("export "):
                for item in line[len("export "):].split():
                    key, value = item.split("=", 1)
                    environment[key] = value
        return environment

    @staticmethod
    def child_cpu_seconds(launcher_pid):
        """CPU time so far, in seconds, of the program that run_measured
        started: the sum over its threads of their time on a CPU (ns counts
        from /proc, so short windows are measured precisely). None when it
        cannot be read."""
        try:
            with open(f"/proc/{launcher_pid}/task/{launcher_pid}/children") as file:
                child = int(file.read().split()[0])
            total = 0
            for task in os.listdir(f"/proc/{child}/task"):
                with open(f"/proc/{child}/task/{task}/schedstat") as file:
                    total += int(file.read().split()[0])
            return total / 1e9
        except (OSError, IndexError, ValueError):
            return None

    def real_time_run(self, name, command, environment, closing_line):
        """One real-time run. Returns a dict: CPU per wall second over the
        whole run, in percent; the same over the steady window from
        STEADY_FROM_SECONDS to PULSE_SECONDS after the start; whether the run
        stalled. A run that has not ended DRAIN_GRACE_SECONDS after printing
        its closing line is ended and measured up to that line; one that has
        not ended PULSE_GRACE_SECONDS after its audio should have is ended and
        counted as stalled."""
        report = os.path.join(self.work, "report.txt")
        if os.path.exists(report):
            os.remove(report)
        started = time.monotonic()
        process = subprocess.Popen([self.run_measured, report] + command, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        os.set_blocking(process.stdout.fileno(), False)
        printed = b""
        closed = None  # (wall, cpu) when the closing line was seen
        window = {}    # CPU seconds at the start and end of the steady window
        ended_by_us = False
        deadline = started + PULSE_SECONDS + PULSE_GRACE_SECONDS
        while process.poll() is None:
            time.sleep(0.02)
            elapsed = time.monotonic() - started
            for edge, at in (("from", STEADY_FROM_SECONDS), ("to", PULSE_SECONDS)):
                if edge not in window and elapsed >= at:
                    window[edge] = (elapsed, self.child_cpu_seconds(process.pid))
            printed += read_available(process.stdout)
            if closed is None and closing_line is not None and closing_line in printed:
                closed = (elapsed, self.child_cpu_seconds(process.pid))
                deadline = min(deadline, time.monotonic() + DRAIN_GRACE_SECONDS)
            if time.monotonic() > deadline and not ended_by_us:
                process.send_signal(signal.SIGTERM)
                ended_by_us = True
        printed += read_available(process.stdout)
        with open(report) as file:
            fields = dict(item.split("=") for item in file.read().split())
        cpu = float(fields["user_s"]) + float(fields["system_s"])
        wall = float(fields["wall_s"])
        stalled = ended_by_us and (closing_line is None or closed is None)
        hung_after_closing = ended_by_us and not stalled
        if hung_after_closing and closed[1] is not None:
            wall, cpu = closed
        steady = None
        if "from" in window and "to" in window and None not in (window["from"][1], window["to"][1]):
            steady = 100 * (window["to"][1] - window["from"][1]) / (window["to"][0] - window["from"][0])
        result = {"percent": 100 * cpu / wall, "steady_percent": steady, "cpu_s": cpu, "wall_s": wall,
                  "stalled": stalled, "hung_after_closing_line": hung_after_closing,
                  "underruns": printed.count(b"PX"), "overruns": printed.count(b"RX")}
        self.details.setdefault("real_time", {}).setdefault(name, []).append(result)
        return result

    def real_time_contender(self, name, command, environment, closing_line):
        """A real-time run, tried again when it stalls."""
        for attempt in range(1, PULSE_ATTEMPTS + 1):
            result = self.real_time_run(name, command, environment, closing_line)
            if not result["stalled"]:
                break
            self.notes.append(f"{name}: run {attempt} through {PULSE_DEVICE} stalled and was ended")
        if result["stalled"]:
            raise MeasurementError(f"every {name} run through {PULSE_DEVICE} stalled")
        if result["hung_after_closing_line"]:
            self.notes.append(f"{name} did not end after its closing line and was ended; "
                              "measured up to that line")
        if result["underruns"] or result["overruns"]:
            self.notes.append(f"{name} marked {result['underruns']} underruns and {result['overruns']} "
                              f"overruns through {PULSE_DEVICE}")
        return result

    def real_time(self):
        if shutil.which("pulseaudio") is None:
            raise MeasurementError("pulseaudio is not installed")
        log(f"real time: {PULSE_SECONDS} s runs through {PULSE_DEVICE} ...")
        folder = os.path.join(self.work, "pulse")
        environment = self.start_pulse(folder)
        try:
            quavelor = self.real_time_contender(
                "quavelor", self.quavelor_command(PULSE_DEVICE, 2, WHOLE_RUN_DELAY, PULSE_RATE, PULSE_SECONDS),
                environment, b"Finished")
            sox = self.real_time_contender(
                "sox", self.sox_command(PULSE_DEVICE, 2, PULSE_RATE, WHOLE_RUN_DELAY, PULSE_SECONDS),
                environment, None)
        finally:
            subprocess.run([os.path.join(self.source_dir, "scripts", "pulse-server.sh"), "stop", folder],
                           check=False, stdout=subprocess.DEVNULL)
        self.rows.append([f"real-time CPU, pulse, {PULSE_SECONDS} s 2 ch 48 kHz",
                          f"{quavelor['percent']:.2f} %", f"sox {sox['percent']:.2f} %",
                          f"{quavelor['percent'] / sox['percent']:.2f}", f"< {PULSE_TARGET_PERCENT:.0f} %",
                          quavelor["percent"] < PULSE_TARGET_PERCENT])
        if quavelor["steady_percent"] is not None and sox["steady_percent"] is not None:
            self.rows.append([f"  steady, {STEADY_FROM_SECONDS} s to {PULSE_SECONDS} s",
                              f"{quavelor['steady_percent']:.2f} %", f"sox {sox['steady_percent']:.2f} %",
                              f"{quavelor['steady_percent'] / sox['steady_percent']:.2f}", "", None])

    # 5. Instruction counts.

    def callgrind(self):
        log(f"callgrind: {CALLGRIND_SECONDS} s of audio each ...")
        rate, channels, seconds = WHOLE_RUN_RATE, WHOLE_RUN_CHANNELS, CALLGRIND_SECONDS
        commands = {
            "quavelor": self.quavelor_command(BENCH_DEVICE, 2, WHOLE_RUN_DELAY, rate, seconds),
            "floor": self.floor_command(BENCH_DEVICE, channels, rate, seconds),
            "sox": self.sox_command(BENCH_DEVICE, channels, rate, WHOLE_RUN_DELAY, seconds),
        }
        per_second = {}
        for name, command in commands.items():
            profile = os.path.join(self.results, f"callgrind.{name}.out")
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}"] + command,
                           env=self.device_environment, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            with open(profile) as file:
                totals = re.search(r"^(?:totals|summary):\s*(\d+)", file.read(), re.MULTILINE)
            if totals is None:
                raise MeasurementError(f"no instruction count in {profile}")
            per_second[name] = int(totals.group(1)) / seconds
            with open(os.path.join(self.results, f"callgrind.{name}.txt"), "w") as listing:
                subprocess.run(["callgrind_annotate", "--inclusive=no", profile], stdout=listing,
                               stderr=subprocess.DEVNULL, check=False)
        self.details["instructions_per_audio_second"] = per_second
        quavelor, floor, sox = per_second["quavelor"], per_second["floor"], per_second["sox"]
        self.rows.append(["instructions per audio second", f"{quavelor / 1e6:.2f} M",
                          f"floor {floor / 1e6:.2f} M", f"{quavelor / floor:.2f}",
                          f"<= {INSTRUCTIONS_TARGET:.2f}", quavelor / floor <= INSTRUCTIONS_TARGET])
        self.rows.append(["  the same job by sox", "", f"sox {sox / 1e6:.2f} M", f"{quavelor / sox:.2f}",
                          "", None])

    # 6. Real time through PipeWire.

    def pipewire_run(self, command, environment, track, rate):
        """One run while the track plays into the loop node and the node is
        recorded: its figures from run_measured, its standard output, and the
        recording's channels."""
        recording = os.path.join(self.work, "pipewire.wav")
        recorder = subprocess.Popen(["pw-record", "--target", "quavelor_loop", "--rate", "48000",
                                     "--channels", "4", "--format", "s16", recording], env=environment)
        time.sleep(0.5)
        report = os.path.join(self.work, "report.txt")
        if os.path.exists(report):
            os.remove(report)
        program = subprocess.Popen([self.run_measured, report] + command, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL)
        time.sleep(0.3)
        player = subprocess.Popen(["pw-play", "--target", "quavelor_loop", track], env=environment)
        try:
            out, _ = program.communicate(timeout=PIPEWIRE_SECONDS + PULSE_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            program.send_signal(signal.SIGTERM)
            out, _ = program.communicate()
        player.wait()
        time.sleep(0.3)
        recorder.terminate()
        recorder.wait()
        with open(report) as file:
            fields = dict(item.split("=") for item in file.read().split())
        figures = {key: float(value) for key, value in fields.items()}
        figures["percent"] = 100 * (figures["user_s"] + figures["system_s"]) / figures["wall_s"]
        return figures, out, self.session.read_wave_channels(recording)

    def pipewire_devices(self, plugin, device):
        """ALSA_CONFIG_PATH for `device` on PipeWire's ALSA plugin."""
        devices = os.path.join(self.work, "pipewire-devices.conf")
        with open(devices, "w") as conf:
            conf.write(f'pcm_type.pipewire {{ lib "{plugin}" }}\npcm.{device} {{ type pipewire }}\n')
        return "/usr/share/alsa/alsa.conf:" + devices

    def pipewire(self):
        # The real-time tests' device, track and analysis.
        sys.path.insert(0, os.path.join(self.source_dir, "tests", "support"))
        sys.path.insert(0, os.path.join(self.source_dir, "tests", "pipewire"))
        import click_delay_test
        import sound_server_session
        self.session = test = sound_server_session
        device = click_delay_test.DEVICE
        plugin = click_delay_test.find_plugin(os.path.join(self.source_dir, ".deps", "pipewire-alsa"))
        if shutil.which("pipewire") is None or plugin is None:
            raise MeasurementError("PipeWire or its ALSA plugin is not installed")
        log(f"real time: {PIPEWIRE_SECONDS} s runs through PipeWire ...")
        folder = os.path.join(self.work, "pipewire")
        script = os.path.join(self.source_dir, "scripts", "pipewire-server.sh")
        output = subprocess.run([script, "start", folder], check=True, capture_output=True,
                                text=True).stdout
        environment = dict(os.environ)
        for line in output.splitlines():
            if line.startswith("export "):
                environment.update(item.split("=", 1) for item in line[len("export "):].split())
        environment["ALSA_CONFIG_PATH"] = self.pipewire_devices(plugin, device)
        track = os.path.join(self.work, "pipewire-track.wav")
        test.write_track(track, PIPEWIRE_SECONDS - 2.5)
        try:
            test.warm_up(environment, self.work, click_delay_test.SINK)
            for rate in PIPEWIRE_RATES:
                figures, out, channels = self.pipewire_run(
                    [self.quavelor, device, "2", "1", "3", str(PIPEWIRE_DELAY), str(rate),
                     str(PIPEWIRE_SECONDS)], environment, track, rate)
                peaks = [test.window_peaks(samples) for samples in channels]
                heard = [test.onsets_in(samples, peak) for samples, peak in zip(channels, peaks)]
                errors = []
                for onset in heard[0]:
                    later = [o for o in heard[2] if abs(o - onset - PIPEWIRE_DELAY * 48000) <= 4800]
                    if later:
                        errors.append(abs(later[0] - onset - PIPEWIRE_DELAY * 48000) / 48000)
                # Silent windows of the tone's channel, from its first sound to its last.
                gaps = test.silent_gaps(peaks[3])
                sounding = [k for k, peak in enumerate(peaks[3]) if peak >= test.SILENT_LEVEL]
                silent = sum(length for _, length in gaps) * 100
                share = 100 * silent / (sounding[-1] - sounding[0] + 1) if sounding else 100.0
                underruns = out.count(b"\nPX\n")
                # sox plays channels 1 and 2 into 3 and 4 the same way, and
                # silence into 1 and 2.
                side = ["-t", "alsa", "-r", str(rate), "-c", "4", "-b", "24", "-e", "signed-integer",
                        device]
                sox, _, _ = self.pipewire_run(
                    ["sox", "-q"] + side + side + ["remix", "0", "0", "1", "2", "delay", "0", "0",
                                                   str(PIPEWIRE_DELAY), str(PIPEWIRE_DELAY), "trim",
                                                   "0", str(PIPEWIRE_SECONDS)], environment, track, rate)
                error = max(errors) if errors and len(errors) == len(heard[0]) else float("inf")
                self.details.setdefault("pipewire", {})[rate] = {
                    "underruns": underruns, "silent_gaps_s": gaps, "delay_errors_s": errors,
                    "cpu_percent": figures["percent"], "sox_cpu_percent": sox["percent"]}
                self.rows.append([f"PipeWire {rate}: underruns, silent 10 ms", f"{underruns} PX, {share:.1f} %",
                                  "", "", "0 PX, 0 %", underruns == 0 and not gaps])
                self.rows.append([f"  delay heard, worst of {len(heard[0])} clicks", f"{error * 1000:+.2f} ms",
                                  f"asked {PIPEWIRE_DELAY} s", "", f"<= {PIPEWIRE_ERROR_TARGET * 1000:.0f} ms",
                                  error <= PIPEWIRE_ERROR_TARGET])
                self.rows.append(["  real-time CPU, all threads", f"{figures['percent']:.2f} %",
                                  f"sox {sox['percent']:.2f} %", f"{figures['percent'] / sox['percent']:.2f}",
                                  f"< {PULSE_TARGET_PERCENT:.0f} %", figures["percent"] < PULSE_TARGET_PERCENT])
        finally:
            subprocess.run([script, "stop", folder], check=False, stdout=subprocess.DEVNULL)

    # 7. Real time on the simulated card.

    def read_card_log(self, path):
        """The card's log as (kind, {field: integer}) events, the summary
        last, read as the card's tests read it."""
        sys.path.insert(0, os.path.join(self.source_dir, "tests", "support"))
        sys.path.insert(0, os.path.join(self.source_dir, "tests", "simulated_card"))
        import card_test
        events = card_test.read_log(path)
        if not events or events[-1][0] != "summary":
            raise MeasurementError(f"no summary in the card's log {path}")
        return events

    @staticmethod
    def settings_from(delays, frame):
        """Of the delay settings (at, frames) in the card's log, those heard
        from `frame` on: the one in effect at it, then every later one."""
        return [d for d in delays if d[0] <= frame][-1:] + [d for d in delays if d[0] > frame]

    def settled_after(self, delays, frame, due):
        """From the delay settings (at, frames), when the delay heard was
        within CARD_DELAY_TARGET of `due` from then to the end, `frame` at
        the earliest (None if it was not at the end); the largest offset
        from `due` heard from `frame` on; and the last setting (at, offset)."""
        in_effect = self.settings_from(delays, frame)
        if not in_effect:
            return None, None, None
        offsets = [frames - due for _, frames in in_effect]
        settled = frame
        for at, frames in in_effect:
            if abs(frames - due) > CARD_DELAY_TARGET:
                settled = None
            elif settled is None:
                settled = max(at, frame)
        return settled, max(offsets, key=abs), (max(in_effect[-1][0], frame), offsets[-1])

    @staticmethod
    def end_process(process):
        """Ends a run, stopped or not: SIGTERM (which run_measured passes
        on), then SIGKILL if it has not ended 5 s later."""
        process.send_signal(signal.SIGCONT)
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def simulated_card(self):
        plugin = os.path.join(self.build_dir, "libasound_module_pcm_simulated_card.so")
        if not os.path.exists(plugin):
            raise MeasurementError(f"the simulated card's plugin is not built: {plugin}")
        rate = CARD_RATE
        folder = os.path.join(self.results, "simulated-card")
        os.makedirs(folder, exist_ok=True)
        # Each run has a card of its own, and so a clock of its own.
        seconds = {"steady": CARD_SHORT_SECONDS, "stopped": CARD_SHORT_SECONDS, "cpu": CARD_CPU_SECONDS,
                   **{name: CARD_DRIFT_SECONDS for name in CARD_DRIFT}}
        paths = {name: os.path.join(folder, name) for name in seconds}
        devices = os.path.join(folder, "devices.conf")
        with open(devices, "w") as conf:
            conf.write(f'pcm_type.simulated_card {{ lib "{plugin}" }}\n')
            for name, path in paths.items():
                if os.path.exists(path + ".log"):
                    os.remove(path + ".log")
                drift = f"ppm {CARD_DRIFT[name]} " if name in CARD_DRIFT else ""
                conf.write(f'pcm.quavelor_card_{name} {{ type simulated_card fifo {CARD_FIFO} watch 0 source 0 '
                           f'{drift}log "{path}.log" }}\n')
        environment = dict(os.environ, ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + devices)
        environment.pop("QUAVELOR_CARD_LOG", None)
        report = paths["cpu"] + ".report"
        if os.path.exists(report):
            os.remove(report)

        log(f"simulated card: two drifting {CARD_DRIFT_SECONDS} s runs, beside them a {CARD_CPU_SECONDS} s run "
            f"and a steady and a stopped {CARD_SHORT_SECONDS} s run ...")
        processes = {}
        started = time.monotonic()
        try:
            for name in seconds:
                command = self.quavelor_command(f"quavelor_card_{name}", 2, CARD_DELAY, rate, seconds[name])
                if name == "cpu":
                    command = [self.run_measured, report] + command
                with open(paths[name] + ".out", "wb") as out:
                    processes[name] = subprocess.Popen(command, env=environment, stdout=out,
                                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            for at, sent in ((CARD_STOP[0], signal.SIGSTOP), (sum(CARD_STOP), signal.SIGCONT)):
                time.sleep(max(0.0, started + at - time.monotonic()))
                processes["stopped"].send_signal(sent)
            for name, process in processes.items():
                deadline = started + seconds[name] + PULSE_GRACE_SECONDS
                try:
                    process.wait(timeout=max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    self.notes.append(f"the {name} run on the simulated card did not end "
                                      f"{PULSE_GRACE_SECONDS} s after its time and was ended")
                    self.end_process(process)
                if process.returncode != 0:
                    self.notes.append(f"the {name} run on the simulated card exited with {process.returncode}")
        finally:
            for process in processes.values():
                if process.poll() is None:
                    self.end_process(process)
        log(f"simulated card: {time.monotonic() - started:.0f} s")

        events = {name: self.read_card_log(path + ".log") for name, path in paths.items()}
        summaries = {name: runs[-1][1] for name, runs in events.items()}
        delays = {name: [(e["at"], e["frames"]) for kind, e in runs if kind == "delay"]
                  for name, runs in events.items()}
        silences = {name: [(e["at"], e["frames"]) for kind, e in runs if kind == "silence"]
                    for name, runs in events.items()}
        due = max(int(rate * CARD_DELAY), CARD_CUSHION_FRAMES)
        with open(report) as file:
            fields = {key: float(value) for key, value in (item.split("=") for item in file.read().split())}
        cpu = fields["user_s"] + fields["system_s"]
        percent = 100 * cpu / fields["wall_s"]

        # The steady run: its first sound, then the delay heard once the
        # sound has played for a while.
        steady = delays["steady"]
        if not steady:
            raise MeasurementError("the steady run on the simulated card played no sound")
        first = steady[0][1] - due
        from_frame = steady[0][0] + CARD_STEADY_AFTER_SECONDS * rate
        offsets = [frames - due for _, frames in self.settings_from(steady, from_frame)]
        lowest, highest = min(offsets), max(offsets)
        heard = f"{lowest:+d} frames" if lowest == highest else f"{lowest:+d} to {highest:+d} frames"
        # The stopped run: the silence between sounds, the card's frames
        # from its underrun to the sound's return (the card stands still in
        # between, so they are not in its silence), and the delay heard from
        # the end of the last stretch of silence.
        stops = silences["stopped"]
        resumed = stops[-1][0] + stops[-1][1] if stops else None
        underruns = [e["at"] for kind, e in events["stopped"] if kind == "underrun" and
                     (resumed is None or e["at"] < resumed)]
        gap = resumed - underruns[-1] - CARD_FIFO if stops and underruns else None
        settled, worst, last = (self.settled_after(delays["stopped"], resumed, due) if stops
                                else (None, None, None))
        # Following a drifting capture clock plays frames twice: those runs have rows of their own.
        exact = [summary for name, summary in summaries.items() if name not in CARD_DRIFT]
        repeats = sum(summary["repeats"] for summary in exact)
        played = sum(summary["played"] for summary in exact)
        for name, summary in summaries.items():
            if name != "stopped" and summary["underruns"] + summary["overruns"] + summary["silence"]:
                self.notes.append(f"the {name} run on the simulated card: {summary['underruns']} underruns, "
                                  f"{summary['overruns']} overruns, {summary['silence']} frames of silence "
                                  "between sounds")
        self.details["simulated_card"] = {
            "delay_asked_frames": due, "summaries": summaries, "delays": delays, "silences": silences,
            "steady_offsets": offsets, "resumed_at": resumed, "underrun_to_sound_frames": gap,
            "settled_at": settled, "cpu_s": cpu, "wall_s": fields["wall_s"], "cpu_percent": percent}

        self.rows.append([f"card {rate}: delay heard, after {CARD_STEADY_AFTER_SECONDS} s of sound", heard,
                          f"asked {due} frames", "", f"±{CARD_DELAY_TARGET} frame",
                          max(abs(lowest), abs(highest)) <= CARD_DELAY_TARGET])
        self.rows.append(["  first sound", f"{first:+d} frames", "", "", f"±{CARD_DELAY_TARGET} frame",
                          abs(first) <= CARD_DELAY_TARGET])
        self.rows.append([f"  played twice or out of order, {len(exact)} runs", f"{repeats} frames",
                          f"of {played} played", "", "0 frames", repeats == 0])
        silence = summaries["stopped"]["silence"]
        self.rows.append([f"  silence after a {CARD_STOP[1]:g} s stop", f"{silence} frames",
                          "" if gap is None else f"underrun to sound {gap} frames", "", "", None])
        label = "  delay right again once the sound is back"
        if resumed is None or last is None:
            self.rows.append([label, "no silence" if resumed is None else "no sound", "", "", "", None])
        else:
            again = "not in the run" if settled is None else f"{(settled - resumed) / rate:.2f} s"
            self.rows.append([label, again,
                              f"up to {worst:+d}, {last[1]:+d} from {(last[0] - resumed) / rate:.2f} s", "",
                              f"<= {CARD_SETTLE_TARGET:g} s",
                              settled is not None and settled - resumed <= CARD_SETTLE_TARGET * rate])
        for name, ppm in CARD_DRIFT.items():
            drifted = [frames - due for _, frames in delays[name]]
            if not drifted:
                raise MeasurementError(f"the {name} run on the simulated card played no sound")
            parted = abs(ppm) * rate * CARD_DRIFT_SECONDS // 1000000
            twice = summaries[name]["repeats"]
            self.rows.append([f"  capture {ppm:+d} ppm, {CARD_DRIFT_SECONDS} s: delay heard",
                              f"{min(drifted):+d} to {max(drifted):+d} frames",
                              f"{twice} played twice, clocks part by {parted}", f"{twice / parted:.2f}",
                              f"±{CARD_DRIFT_TARGET} frames", max(map(abs, drifted)) <= CARD_DRIFT_TARGET])
        self.rows.append([f"  real-time CPU, {CARD_CPU_SECONDS} s 2 ch", f"{percent:.2f} %",
                          f"{cpu:.3f} s in {fields['wall_s']:.1f} s", "", f"< {CARD_CPU_TARGET_PERCENT} %",
                          percent < CARD_CPU_TARGET_PERCENT])

    # 8. A stop through the sound servers.

    def server_stops(self):
        # The real-time tests' loop sinks, run and analysis.
        for folder in ("support", "pulse", "pipewire"):
            sys.path.insert(0, os.path.join(self.source_dir, "tests", folder))
        import click_delay_test
        import realtime_test
        import sound_server_session as test
        plugin = click_delay_test.find_plugin(os.path.join(self.source_dir, ".deps", "pipewire-alsa"))
        if shutil.which("pulseaudio") is None or shutil.which("pipewire") is None or plugin is None:
            raise MeasurementError("PulseAudio, PipeWire or PipeWire's ALSA plugin is not installed")
        rate, stop = SERVER_STOP_RATE, test.STOP_SECONDS
        case = test.run_case("stopped", None, 2, 1, 3, SERVER_STOP_DELAY, rate, SERVER_STOP_SECONDS,
                             {2: 0, 3: 1}, stop_at=SERVER_STOP_AT)
        folder = os.path.join(self.work, "stops")
        os.makedirs(folder, exist_ok=True)
        test.write_track(os.path.join(folder, f"track-{case.seconds}.wav"), case.track_seconds())
        due = case.heard_delay() * test.SERVER_RATE
        servers = (("pulse", "pulse-server.sh", realtime_test.SINK), ("PipeWire", "pipewire-server.sh",
                                                                      click_delay_test.SINK))
        for name, script, sink in servers:
            log(f"a {stop:g} s stop through {name}: a {case.seconds} s run ...")
            script = os.path.join(self.source_dir, "scripts", script)
            environment = test.start_server(script, os.path.join(folder, name))
            try:
                if name == "pulse":
                    case.device = "pulse"
                    environment.update(PULSE_SINK="quavelor_loop", PULSE_SOURCE="quavelor_loop.monitor")
                else:
                    case.device = click_delay_test.DEVICE
                    environment["ALSA_CONFIG_PATH"] = self.pipewire_devices(plugin, case.device)
                test.warm_up(environment, folder, sink)
                out, _, status, channels = test.record_run(self.quavelor, environment, folder, case, sink)
            finally:
                test.stop_server(script, os.path.join(folder, name))
            peaks = [test.window_peaks(samples) for samples in channels]
            heard = [test.onsets_in(samples, peak) for samples, peak in zip(channels, peaks)]
            # Each input click against the first output click near the delay
            # asked for, by where the delay puts it: before the stop, from the
            # stop to AFTER_STOP after it, or later. Kept as (seconds from the
            # stop, error in seconds or None when lost).
            errors = {"before": [], "near": [], "after": []}
            for output, source in case.routes.items():
                for onset in heard[source]:
                    match = [later for later in heard[output]
                             if abs(later - onset - due) <= (test.LATENCY_BOUND + 0.1) * test.SERVER_RATE]
                    since = (onset + due) / test.SERVER_RATE - 0.5 - case.stop_at
                    side = "near" if case.near_stop(onset + due) else "before" if since < 0 else "after"
                    errors[side].append((round(since, 3), (match[0] - onset - due) / test.SERVER_RATE
                                         if match else None))
            gap = test.recording_fault(case, peaks, heard, test.skipped_input(peaks))
            if gap or status != 0:
                self.notes.append(f"the stopped run through {name} exited with {status}; "
                                  f"the recording shows a stall: {gap}")
            marks = out.count(b"\nPX\n")
            self.details.setdefault("server_stops", {})[name] = {
                "delay_errors_s": errors, "recording_fault": gap, "underrun_marks": marks}
            for side, label in (("before", f"{name} {rate}, {stop:g} s stop: delay before it"),
                                ("after", f"  more than {test.AFTER_STOP:g} s after it")):
                found = [error for _, error in errors[side] if error is not None]
                worst = max(found, key=abs) if found else None
                lost = len(errors[side]) - len(found)
                self.rows.append([f"{label}, worst of {len(errors[side])} clicks",
                                  f"{lost} lost" if lost or worst is None else f"{worst * 1000:+.2f} ms",
                                  f"asked {case.delay} s", "", f"<= {test.LATENCY_BOUND * 1000:.0f} ms",
                                  not lost and worst is not None and abs(worst) <= test.LATENCY_BOUND])
            lost = [error for _, error in errors["near"]].count(None)
            self.rows.append([f"  clicks lost from the stop to {test.AFTER_STOP:g} s after", f"{lost}",
                              f"of {len(errors['near'])} due, {marks} PX", "", "", None])

    # The table.

    def print_table(self):
        header = ["measure", "quavelor", "beside", "ratio", "target", "result"]
        lines = [[*row[:5], "" if row[5] is None else ("PASS" if row[5] else "MISS")] for row in self.rows]
        widths = [max(len(line[i]) for line in [header] + lines) for i in range(len(header))]
        print()
        for line in [header] + lines:
            print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        for note in self.notes:
            print(f"note: {note}")
        print(f"details: {self.results}")
        with open(os.path.join(self.results, "figures.json"), "w") as file:
            json.dump({"rows": self.rows, "details": self.details}, file, indent=2)


# The sections, in the docstring's order and numbering.
SECTIONS = ("ring_throughput", "whole_run", "memory", "real_time", "callgrind", "pipewire", "simulated_card",
            "server_stops")


def main():
    chosen = sys.argv[3:]
    numbers = [str(number) for number in range(1, len(SECTIONS) + 1)]
    if len(sys.argv) < 3 or not all(number in numbers for number in chosen):
        print(__doc__, file=sys.stderr)
        return 2
    bench = Bench(sys.argv[1], sys.argv[2])
    failures = []
    try:
        for number, name in zip(numbers, SECTIONS):
            if chosen and number not in chosen:
                continue
            step = getattr(bench, name)
            try:
                step()
            except (MeasurementError, subprocess.SubprocessError, OSError) as error:
                failures.append(f"{step.__name__}: {error}")
                log(f"FAILED {step.__name__}: {error}")
        bench.print_table()
    finally:
        bench.close()
    for failure in failures:
        print(f"not measured: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
