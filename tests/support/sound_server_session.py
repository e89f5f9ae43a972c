"""What the real-time tests share: their checks, starting and stopping the
private sound servers of scripts/ (pulse-server.sh, pipewire-server.sh), and
runs of quavelor through a server's 4-channel loop sink, which gives back
everything played into it: a track of clicks over a quiet continuous tone
goes into channels 1 and 2, quavelor captures them and plays them back,
delayed, into channels 3 and 4, and one recording of the sink holds both, so
the delay is read off a single time line."""

import array
import math
import os
import signal
import subprocess
import time
import wave

failures = []
retries = []       # the names of the runs made once more
MOST_RETRIES = 1   # runs a test may make again: one more input gap fails it


def check(condition, message):
    """Records a failed check and goes on, so that one run reports them all."""
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def start_server(script, folder):
    """Starts the server and returns the environment that reaches it: the
    script prints it as one line of "export NAME=value ..."."""
    output = subprocess.run(["bash", script, "start", folder], check=True,
                            capture_output=True, text=True).stdout
    environment = dict(os.environ)
    for line in output.splitlines():
        if line.startswith("export "):
            for assignment in line[len("export "):].split():
                name, _, value = assignment.partition("=")
                environment[name] = value
    return environment


def stop_server(script, folder):
    subprocess.run(["bash", script, "stop", folder], check=False)


def check_marked_output(name, out, expected):
    """Checks standard output against `expected` once underrun marks are
    taken out: a server may report an underrun at any time, at start-up most
    often. An overrun mark is left in, so it fails the check: a capture
    stream of these servers never reports one. Returns the number of marks."""
    marks = out.count(b"\nPX\n")
    print(f"{name}: {marks} underrun mark(s)", flush=True)
    check(out.replace(b"\nPX\n", b"") == expected, f"{name}: standard output {out!r}")
    return marks


SERVER_RATE = 48000        # the loop sink's rate: the track's and the recording's
CHANNELS = 4
CUSHION_FRAMES = 3 * 4096  # the shortest cushion: a shorter delay is heard as it
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
AFTER_STOP = 2.0           # seconds after a stop in which clicks may be lost or late
# A stopped run leaves silent stretches from the stop to AFTER_STOP seconds
# after its end, of at most twice the stop's length in all: playback runs
# dry during the stop, and what was never captured comes out the delay
# later. Between the two a server may play what it still held when the run
# went on, before the streams start again.
LONGEST_STOP_SILENCE = 2 * STOP_SECONDS + 0.1
# The recording begins when its recorder has started, some tenths of a second
# after it was launched, so a stop shows up to this much before its time in it.
RECORDER_START = 0.5
# A server whose graph runs on without a late client plays a quantum of
# silence in the client's place (PipeWire's is 43 ms with quavelor's
# blocks), and the sound after it a quantum late until the client sets it
# right; no report says so. An output silent this long or less, where the
# input is whole, is such a skip: it is treated as a stop.
SKIPPED_QUANTUM = 0.05
WINDOW = SERVER_RATE // 100  # 10 ms


class run_case:
    """One run of quavelor on `device`. `routes` maps each output channel
    (0-based) that must carry the track to the input channel it comes from.
    A busy run has two busy loops beside it; a run with `stop_at` is stopped
    that many seconds after its start, for STOP_SECONDS. `variables` are
    added to quavelor's environment alone."""

    def __init__(self, name, device, mode, inputs, outputs, delay, rate, seconds, routes,
                 busy=False, stop_at=None, variables=None):
        self.name, self.device, self.mode = name, device, mode
        self.inputs, self.outputs, self.delay, self.rate = inputs, outputs, delay, rate
        self.seconds, self.routes, self.busy, self.stop_at = seconds, routes, busy, stop_at
        self.variables = variables or {}
        self.skips = []  # recording seconds at which the server skipped the output

    def near_stop(self, frame):
        """Whether a frame of the recording, which starts half a second
        before quavelor, falls in the stop or the AFTER_STOP seconds after,
        or in the AFTER_STOP seconds after a skip."""
        seconds = frame / SERVER_RATE
        return ((self.stop_at is not None
                 and 0 <= seconds - 0.5 - self.stop_at < STOP_SECONDS + AFTER_STOP)
                or any(0 <= seconds - skip < AFTER_STOP for skip in self.skips))

    def heard_delay(self):
        """The delay due: the one asked for, or the cushion when that is
        longer."""
        return max(self.delay, CUSHION_FRAMES / self.rate)

    def track_seconds(self):
        """The track's length: short enough for every click to come out
        before the run ends, whatever the delay (at most 1.5 s)."""
        return self.seconds - 2.5


class loop_sink:
    """How a server's loop sink is played into and recorded: `player` and
    `recorder` give the command for a WAV file of CHANNELS channels at
    SERVER_RATE."""

    def __init__(self, player, recorder):
        self.player, self.recorder = player, recorder


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
    """The stretches of silent 10 ms windows between the first and the last
    window that carries sound, as (start, length) in seconds of the
    recording."""
    silent = [peak < SILENT_LEVEL for peak in peaks]
    if False not in silent:
        return []
    first, last = silent.index(False), len(silent) - 1 - silent[::-1].index(False)
    gaps, length = [], 0
    for index in range(first, last + 2):
        if index <= last and silent[index]:
            length += 1
        elif length:
            gaps.append(((index - length) / 100, length / 100))
            length = 0
    return gaps


def skipped_input(peaks):
    """The recording seconds at which the input channels fell silent for at
    most SKIPPED_QUANTUM: the server skipped a quantum of the player's
    output, and quavelor captured the same silence, which comes out of it a
    delay later."""
    return sorted({start for channel in (0, 1) for start, length in silent_gaps(peaks[channel])
                   if length <= SKIPPED_QUANTUM})


def recording_fault(case, peaks, heard, skipped):
    """What shows, from the recording's input channels alone, that the
    server, the player or the recorder stalled for longer than a quantum:
    an input silent for longer than SKIPPED_QUANTUM, two clicks of one
    channel closer together than the track has them (sound lost from the
    recording), clicks missing beyond those a skipped quantum may have
    taken, or input and output silent at once (the recorder, or the whole
    graph, stood still). None when the input is whole but for the quanta
    `skipped` (skipped_input)."""
    evidence = []
    # Near a stop the output is silent anyway, and the server may skip the
    # player while quavelor stands still: that is no stall of the recording.
    outputs = [start for output in case.routes for start, _ in silent_gaps(peaks[output])
               if not case.near_stop((start + RECORDER_START) * SERVER_RATE)]
    together = [start for start in skipped if any(abs(start - other) <= 0.02 for other in outputs)]
    if together:
        evidence.append(f"input and output silent at once at {together} s")
    for channel in (0, 1):
        long_gaps = [gap for gap in silent_gaps(peaks[channel]) if gap[1] > SKIPPED_QUANTUM]
        if long_gaps:
            evidence.append(f"channel {channel + 1} silent at (start, length) {long_gaps} s")
        onsets = heard[channel]
        if any(later - earlier < (CLICK_GAP - 0.002) * SERVER_RATE for earlier, later in zip(onsets, onsets[1:])):
            evidence.append(f"clicks on channel {channel + 1} closer together than the track's")
        due = len(click_onsets(case.track_seconds(), channel))
        if not due - len(skipped) <= len(onsets) <= due:
            evidence.append(f"{len(onsets)} of {due} clicks on channel {channel + 1}")
    return "; ".join(evidence) or None


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
    return (f"Device = {case.device}\n{routing}Time delay ~ {case.delay:.3f} sec\n"
            f"Sample rate = {case.rate}\nTime out at {case.seconds} sec\n{progress}\nFinished\n"
            ).encode()


def record_run(binary, environment, folder, case, sink):
    """Runs quavelor while the track plays and the loop sink is recorded;
    beside two busy loops if the case asks, stopped for STOP_SECONDS at its
    stop_at if it has one. Returns standard output, standard error, exit
    status and each channel of the recording."""
    recording = os.path.join(folder, "recording.wav")
    recorder = subprocess.Popen(sink.recorder(recording), env=environment)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2 if case.busy else 0)]
    try:
        time.sleep(0.5)
        arguments = [str(case.mode), str(case.inputs), str(case.outputs), str(case.delay),
                     str(case.rate), str(case.seconds)]
        program = subprocess.Popen([binary, case.device] + arguments, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=dict(environment, **case.variables))
        started = time.monotonic()
        time.sleep(PLAYER_AFTER)
        player = subprocess.Popen(sink.player(os.path.join(folder, f"track-{case.seconds}.wav")),
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


def warm_up(environment, folder, sink):
    """Plays two seconds of silence into the loop sink while it is recorded,
    before any run that is checked. The first run after a server started was
    seen, twice in some thirty, to come out one server quantum late, with an
    underrun mark, while the server was still settling its graph."""
    track = os.path.join(folder, "warm-up.wav")
    with wave.open(track, "wb") as silence:
        silence.setnchannels(CHANNELS)
        silence.setsampwidth(2)
        silence.setframerate(SERVER_RATE)
        silence.writeframes(bytes(2 * CHANNELS * 2 * SERVER_RATE))
    recorder = subprocess.Popen(sink.recorder(os.path.join(folder, "warm-up-recording.wav")),
                                env=environment)
    subprocess.run(sink.player(track), env=environment, timeout=PROCESS_TIMEOUT, check=False)
    recorder.terminate()
    recorder.wait(timeout=PROCESS_TIMEOUT)


def check_run(binary, environment, folder, case, sink):
    """One run, checked: standard output byte for byte, with no underrun mark
    at all (a stopped run may have them), empty standard error, exit status
    0; every click comes out on each routed output exactly the delay due
    later, to within LATENCY_BOUND, and nothing else does; the tone comes
    out whole; unrouted outputs stay silent. From the stop to AFTER_STOP
    seconds after its end (near_stop), a stopped run may leave silent
    stretches in the tone (LONGEST_STOP_SILENCE in all), the clicks due may
    be lost, and those heard may come out late or with no input click to
    explain them; but no click, near the stop or not, may come out more than
    LATENCY_BOUND early. A silent stretch of at most SKIPPED_QUANTUM in the
    output of a run with whole input is a quantum the server skipped, and
    counts as a stop of its own (it is printed); a click that comes out
    within SKIPPED_QUANTUM of such a skip may be as far off either way, as
    the server moves it with the quantum (it is printed too).

    On a loaded machine a server now and then skips a quantum of the
    player's output: quavelor captures that silence too and plays it a delay
    later, as the check expects (skipped_input). Now and then, idle runs
    included, the shared virtual machines these tests run on hold up the
    server, the player or the recorder for longer. A run whose input
    channels show it (recording_fault) is not checked but made once more,
    and printed with what showed it; a test that would make more than
    MOST_RETRIES runs again fails. A run that fails with its input channels
    whole is not made again: its failures stand."""
    first_failure = len(failures)
    write_track(os.path.join(folder, f"track-{case.seconds}.wav"), case.track_seconds())
    out, err, status, channels = record_run(binary, environment, folder, case, sink)
    peaks = [window_peaks(samples) for samples in channels]
    heard = {channel: onsets_in(channels[channel], peaks[channel]) for channel in range(CHANNELS)}
    skipped = skipped_input(peaks)
    gap = recording_fault(case, peaks, heard, skipped)
    if gap:
        del failures[first_failure:]  # the one check made yet: a run that outlasted its end
        if check(len(retries) < MOST_RETRIES, f"{case.name}: the input channels show a stall "
                 f"({gap}), and runs were made again already: {', '.join(retries)}"):
            retries.append(case.name)
            print(f"RETRY {len(retries)}: {case.name}: the run is made once more, "
                  f"as the input channels show a stall: {gap}", flush=True)
            check_run(binary, environment, folder, case, sink)
        return
    check(err == b"", f"{case.name}: standard error {err!r}")
    check(status == 0, f"{case.name}: exit status {status}")
    marks = check_marked_output(case.name, out, expected_output(case))
    check(case.stop_at is not None or marks == 0, f"{case.name}: {marks} underrun marks")

    # The player's skipped quanta come out of quavelor a delay later.
    mirrored = [start + case.heard_delay() for start in skipped]
    output_gaps = {output: silent_gaps(peaks[output]) for output in case.routes}
    expected = {start for gaps in output_gaps.values() for start, _ in gaps
                if any(abs(start - later) <= 0.02 for later in mirrored)}
    case.skips = sorted({start for gaps in output_gaps.values() for start, length in gaps
                         if length <= SKIPPED_QUANTUM and start not in expected
                         and not case.near_stop(start * SERVER_RATE)})
    if mirrored or case.skips:
        print(f"{case.name}: the server skipped the player at {skipped} s and "
              f"quavelor's output at {case.skips} s", flush=True)
    due = case.heard_delay() * SERVER_RATE
    for output, source in case.routes.items():
        label = f"{case.name}: output channel {output + 1}"
        latencies, lost, unmatched = [], [], list(heard[output])
        for onset in heard[source]:
            match = [later for later in unmatched
                     if abs(later - onset - due) <= (LATENCY_BOUND + 0.1) * SERVER_RATE]
            if match:
                value = (match[0] - onset - due) / SERVER_RATE
                late = value > LATENCY_BOUND and case.near_stop(match[0])
                # The server moves a click that falls in the quantum it skips.
                moved = abs(value) <= SKIPPED_QUANTUM and any(
                    abs(match[0] / SERVER_RATE - skip) <= SKIPPED_QUANTUM for skip in case.skips)
                if moved and abs(value) > LATENCY_BOUND:
                    print(f"{label}: the click at {onset / SERVER_RATE:.2f} s, at a quantum the "
                          f"server skipped, heard {value * 1000:+.2f} ms from the delay due", flush=True)
                check(-LATENCY_BOUND <= value <= LATENCY_BOUND or late or moved,
                      f"{label}: the click at {onset / SERVER_RATE:.2f} s heard "
                      f"{value * 1000:+.2f} ms from the delay due")
                latencies.append(value)
                unmatched.remove(match[0])
            elif not case.near_stop(onset + due):
                lost.append(round(onset / SERVER_RATE, 2))
        check(not lost, f"{label}: no click came out for the input clicks at {lost} s")
        strays = [round(later / SERVER_RATE, 2) for later in unmatched if not case.near_stop(later)]
        check(not strays, f"{label}: clicks at {strays} s that no input click explains")
        if latencies:
            print(f"{label}: {len(latencies)} of {len(heard[source])} clicks, heard "
                  f"{min(latencies) * 1000:+.2f} to {max(latencies) * 1000:+.2f} ms from "
                  f"{case.heard_delay():.4f} s, {len(unmatched)} unexplained", flush=True)
        gaps = [gap for gap in output_gaps[output] if gap[0] not in case.skips and gap[0] not in expected]
        if case.stop_at is None:
            check(not gaps, f"{label}: silent stretches in the tone (start, length): {gaps} s")
        else:
            check(all(case.near_stop((start + RECORDER_START) * SERVER_RATE) for start, _ in gaps)
                  and sum(length for _, length in gaps) <= LONGEST_STOP_SILENCE,
                  f"{label}: silent stretches in the tone of a stopped run: {gaps} s")
    for channel in range(2, CHANNELS):
        if channel not in case.routes:
            check(max(peaks[channel], default=0) < SILENT_LEVEL,
                  f"{case.name}: sound on unrouted channel {channel + 1}")


def exit_status():
    """The test's exit status, after a line that sums up the checks and the
    runs made again."""
    made_again = f"{len(retries)} run(s) made again"
    if failures:
        print(f"{len(failures)} check(s) failed, {made_again}")
        return 1
    print(f"all checks passed, {made_again}")
    return 0
