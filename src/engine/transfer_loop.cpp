#include "engine/transfer_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "engine/block_transfer.h"
#include "engine/delay_keeping.h"
#include "engine/stream_start.h"

namespace {

struct loop_context {
  const run_settings& settings;
  const routing_plan& plan;
  audio_path path;
  int64_t cushion_ns;  // how long the cushion takes to play
};

struct loop_state {
  size_t ring_position = 0;      // bytes: where playback reads every track's ring
  size_t ring_offset = 0;        // bytes: how far ahead of that capture writes
  size_t capture_position = 0;   // frames into the capture block's areas
  size_t playback_position = 0;  // frames into the playback block's areas
  int64_t frames_written = 0;    // frames playback took, silence included
  int64_t written_at_look = 0;   // frames_written at the last look at the delay
  int64_t start_ns = 0;          // when the streams last started
  int64_t fresh_frames = 0;      // frames captured since then that went into the rings
  int64_t written_at_start = 0;  // frames_written then, its cushion included
  int64_t last_write_ns = 0;     // when playback last took frames; 0 before the first
  bool clocked = false;          // the streams have reported a delay: the device has a clock
  float last_shown_seconds = 0.0f;
  failure_watch capture_watch;
  failure_watch playback_watch;
  delay_keeping keeping;
};

// Where a transfer of `frames` starts in a staging block: at `position`, or
// back at frame 0 when it would run past the end of the channel areas.
size_t fitting_position(size_t position, size_t frames) {
  return position + frames > frames_per_block ? 0 : position;
}

size_t advance_position(size_t position, size_t frames) {
  position += frames;
  return position >= frames_per_block ? 0 : position;
}

void mark(const char* line) {
  std::puts(line);
  std::fflush(stdout);
}

// The frames a sound captured now takes to come out of playback, as the
// library reports the two streams: what capture holds before it can be read
// and what playback holds before it is heard. Each stream is asked twice,
// playback first: a sound server's thread moves both streams on by a
// processing quantum at once, and one step that falls between the two
// streams' reports puts their sum a quantum off, so the reports count only
// when each stream's two agree to within a millisecond. Unknown (false) too
// when a report fails, and when a stream reports no delay at all: the
// PulseAudio plugin reports 0 whenever its own figure would be negative, and
// a device that takes frames at once, such as the null device, reports 0
// always. Before the first frame is played after a start (`at_start`),
// capture holds nothing yet, so its 0 is a true figure.
bool report_latency(const loop_context& loop, bool at_start, snd_pcm_sframes_t& playback,
                    snd_pcm_sframes_t& capture) {
  const pcm_pair& streams = loop.path.streams;
  snd_pcm_t* const asked[4] = {streams.playback, streams.capture, streams.playback, streams.capture};
  snd_pcm_sframes_t reports[4] = {};
  for (int k = 0; k < 4; ++k) {
    if (loop.path.calls.delay(asked[k], &reports[k]) < 0) return false;
  }
  const snd_pcm_sframes_t tolerance = loop.settings.sample_rate / 1000;
  playback = reports[2];
  capture = reports[3];
  const snd_pcm_sframes_t least_capture = at_start ? 0 : 1;
  return std::abs(reports[2] - reports[0]) <= tolerance &&
         std::abs(reports[3] - reports[1]) <= tolerance && reports[0] > 0 && playback > 0 &&
         reports[1] >= least_capture && capture >= least_capture;
}

// Moves what was captured since the start `bytes` earlier in every track's
// ring (`later` false) or later, so that the sound captured before the start
// plays as it was and only the new sound's delay changes. Needs the bytes
// moved over to be unplayed ring bytes (earlier) or room (later).
bool move_new_sound(const loop_context& loop, loop_state& state, size_t bytes, bool later) {
  audio_buffers& buffers = loop.path.buffers;
  const auto fresh = static_cast<size_t>(state.fresh_frames) * bytes_per_sample;
  // The new sound must not have begun to play, and must have where to go.
  const bool fits = later ? fresh <= state.ring_offset &&
                                state.ring_offset + bytes + channel_area_bytes <= buffers.ring_size
                          : fresh + bytes <= state.ring_offset;
  if (!fits) return false;
  const size_t junction = ring_advance(state.ring_position, state.ring_offset - fresh, buffers.ring_size);
  const size_t to = later ? ring_advance(junction, bytes, buffers.ring_size)
                          : ring_advance(junction, buffers.ring_size - bytes, buffers.ring_size);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    // The capture block is free between cycles; playback's unrouted channels
    // must stay silent.
    ring_move(buffers.rings[k], junction, to, fresh, later, buffers.capture.bytes, channel_area_bytes);
    if (later) ring_clear(buffers.rings[k], junction, bytes);
  }
  state.ring_offset = later ? state.ring_offset + bytes : state.ring_offset - bytes;
  return true;
}

// Shortens the delay heard by `frames`: the new sound moves earlier in the
// ring where it can, else they are read from capture and left unplayed.
void shed(const loop_context& loop, loop_state& state, int64_t frames) {
  if (move_new_sound(loop, state, static_cast<size_t>(frames) * bytes_per_sample, false)) return;
  discard_capture(loop.path, static_cast<size_t>(frames));
}

// Lengthens the delay heard by `frames`: the new sound moves later in the
// ring behind silence where it has room, else silence is played at once.
void pad(const loop_context& loop, loop_state& state, int64_t frames) {
  if (move_new_sound(loop, state, static_cast<size_t>(frames) * bytes_per_sample, true)) return;
  const snd_pcm_sframes_t room = loop.path.calls.avail_update(loop.path.streams.playback);
  const auto padding = std::min<int64_t>(frames, std::max<snd_pcm_sframes_t>(room, 0));
  state.frames_written += static_cast<int64_t>(write_silence(loop.path, static_cast<size_t>(padding)));
}

// Looks at the delay heard and sheds or pads what the delay keeping asks.
void look_at_delay(const loop_context& loop, loop_state& state) {
  snd_pcm_sframes_t playback = 0;
  snd_pcm_sframes_t capture = 0;
  const bool at_start = state.frames_written == state.written_at_start;
  const bool usable = report_latency(loop, at_start, playback, capture);
  state.clocked = state.clocked || usable;
  const auto heard =
      static_cast<int64_t>(state.ring_offset / bytes_per_sample) + int64_t{playback} + int64_t{capture};
  const int64_t played = state.frames_written - state.written_at_look;
  state.written_at_look = state.frames_written;
  const int64_t excess = take_look(state.keeping, usable, heard, static_cast<size_t>(played));
  if (excess > 0) shed(loop, state, excess);
  if (excess < 0) pad(loop, state, -excess);
}

// After a restart, the ring's audio still to play would come out as late as
// playback stood still (`stopped` frames): by the clock, for the time since
// the last start beyond what playback was given to play. That much of
// it, nearest to being played, is skipped, and the ring holds silence in its
// place after the last sound captured, so that the rest plays when it is due
// and the new sound follows at the delay asked. Playback dropped with frames
// still to play (a restart for capture's sake) is given as much silence
// more instead, so that nothing comes out early.
void skip_stopped_time(const loop_context& loop, loop_state& state, int64_t stopped) {
  if (stopped < 0) {
    state.frames_written += static_cast<int64_t>(write_silence(loop.path, static_cast<size_t>(-stopped)));
    return;
  }
  audio_buffers& buffers = loop.path.buffers;
  const size_t skipped = std::min(static_cast<size_t>(stopped) * bytes_per_sample, state.ring_offset);
  const size_t write_position = ring_advance(state.ring_position, state.ring_offset, buffers.ring_size);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    ring_clear(buffers.rings[k], write_position, skipped);
  }
  state.ring_position = ring_advance(state.ring_position, skipped, buffers.ring_size);
}

// Starts both streams behind their cushion, the first time or again; the
// delay heard is measured anew from the first cycle on. `unwritten` frames
// taken from the rings for playback could not be written.
void start(const loop_context& loop, loop_state& state, bool again, size_t unwritten = 0) {
  const int64_t ran = (loop.path.calls.now_ns() - state.start_ns) * loop.settings.sample_rate / 1000000000;
  const int64_t given = state.frames_written - state.written_at_start + static_cast<int64_t>(unwritten);
  int64_t stopped = ran - given;
  // Playback may say it holds less than the clock makes it: a device with no
  // clock of its own, such as a file, has played all it was given.
  snd_pcm_sframes_t queued = 0;
  if (again && loop.path.calls.delay(loop.path.streams.playback, &queued) == 0) {
    stopped = std::max<int64_t>(stopped, -int64_t{queued});
  }
  const size_t cushion = again ? restart_streams(loop.path) : start_streams(loop.path);
  state.frames_written += static_cast<int64_t>(cushion);
  if (again) skip_stopped_time(loop, state, stopped);
  state.written_at_start = state.frames_written;
  state.start_ns = loop.path.calls.now_ns();
  state.fresh_frames = 0;
  state.last_write_ns = 0;
  state.written_at_look = state.frames_written;
  measure_anew(state.keeping);
}

// Counts a cycle in which a stream moved nothing, and starts both streams
// again after an overrun, an underrun or a suspend (`error`), or once the
// failure watch says so.
void after_failure(const loop_context& loop, loop_state& state, failure_watch& watch,
                   snd_pcm_sframes_t error, size_t unwritten = 0) {
  const bool due = failed_again(watch, error);
  if (due || error == -EPIPE || error == -ESTRPIPE) start(loop, state, true, unwritten);
}

// Reads up to `cycle_frames` captured frames; returns how many arrived.
size_t read_capture(const loop_context& loop, loop_state& state, size_t cycle_frames) {
  if (cycle_frames == 0) return 0;
  state.capture_position = fitting_position(state.capture_position, cycle_frames);
  const snd_pcm_sframes_t got = read_block(loop.path, state.capture_position, cycle_frames);
  if (got > 0) {
    state.capture_watch.failed_cycles = 0;
    return frames_moved(got, cycle_frames);
  }
  if (got == -EPIPE) mark("\nRX");
  // A read of nothing without an error is reported as a stream not ready.
  after_failure(loop, state, state.capture_watch, got < 0 ? got : -EAGAIN);
  return 0;
}

// Each track's new bytes go ring_offset bytes ahead of the ring position, and
// as many bytes at the ring position go to the playback block: written first,
// so that with no offset a cycle plays what it has just captured. Frames that
// were not captured are neither written nor played, so nothing plays twice.
void pass_through_rings(const loop_context& loop, loop_state& state, size_t frames) {
  audio_buffers& buffers = loop.path.buffers;
  const size_t bytes = frames * bytes_per_sample;
  const size_t write_position = ring_advance(state.ring_position, state.ring_offset, buffers.ring_size);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    ring_append(buffers.rings[k], write_position,
                channel_area(buffers.capture, loop.plan.tracks[k].capture_channel,
                             state.capture_position),
                sample_stride(buffers.capture), bytes);
  }
  state.capture_position = advance_position(state.capture_position, frames);
  state.fresh_frames += static_cast<int64_t>(frames);

  state.playback_position = fitting_position(state.playback_position, frames);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    const track& path = loop.plan.tracks[k];
    for (int32_t c = 0; c < path.playback_channel_count; ++c) {
      ring_extract(buffers.rings[k], state.ring_position,
                   channel_area(buffers.playback, path.playback_channels[c], state.playback_position),
                   sample_stride(buffers.playback), bytes);
    }
  }
  state.ring_position = ring_advance(state.ring_position, bytes, buffers.ring_size);
}

// Plays the `frames` frames the rings gave this cycle, the first of them
// `repeats` more times (frames slipped in to follow drift).
void write_playback(const loop_context& loop, loop_state& state, size_t cycle_frames, size_t frames,
                    int64_t repeats) {
  if (cycle_frames == 0) {
    // No room at all: the stream is not ready.
    after_failure(loop, state, state.playback_watch, -EAGAIN);
    return;
  }
  if (frames == 0) return;  // nothing captured, nothing to play

  const staging_block& block = loop.path.buffers.playback;
  for (int64_t k = 0; k < repeats; ++k) {
    const snd_pcm_sframes_t repeated = write_block(loop.path, block, state.playback_position, 1);
    state.frames_written += static_cast<int64_t>(frames_moved(repeated, 1));
  }
  const snd_pcm_sframes_t put = write_block(loop.path, block, state.playback_position, frames);
  if (put <= 0) {
    if (put == -EPIPE) mark("\nPX");
    after_failure(loop, state, state.playback_watch, put < 0 ? put : -EAGAIN, frames);
    return;
  }
  state.playback_watch.failed_cycles = 0;
  const size_t put_frames = frames_moved(put, frames);
  state.playback_position = advance_position(state.playback_position, put_frames);
  state.frames_written += static_cast<int64_t>(put_frames);
  state.last_write_ns = loop.path.calls.now_ns();
}

void show_progress(const loop_context& loop, loop_state& state) {
  const auto shown =
      static_cast<float>(static_cast<uint64_t>(state.frames_written) / loop.settings.sample_rate);
  if (shown - state.last_shown_seconds >= 1.0f) {
    std::printf("\r%.0f sec", static_cast<double>(shown));
    std::fflush(stdout);
    state.last_shown_seconds = shown;
  }
}

// One cycle: as many frames as playback has room for, up to a block, are
// read, passed through the rings and played, after a look at the delay
// heard; frames slipped to follow drift are read and left unplayed, or
// played twice. A read that ends longer after the last write than the
// cushion lasts starts both streams again, on a device with a clock: one
// that never reports a delay, such as a file, cannot run dry.
void transfer_cycle(const loop_context& loop, loop_state& state) {
  const stream_calls& calls = loop.path.calls;
  calls.wait(loop.path.streams.playback, wait_timeout_ms);
  // An error reads as a very large count, so it also gives a full block.
  const auto available = static_cast<snd_pcm_uframes_t>(calls.avail_update(loop.path.streams.playback));
  const size_t cycle_frames = std::min<snd_pcm_uframes_t>(available, frames_per_block);

  look_at_delay(loop, state);
  const int64_t slip = slip_in(state.keeping, cycle_frames);
  size_t frames_got = read_capture(loop, state, cycle_frames);
  if (slip > 0 && frames_got > 1) {
    // Dropped from what this read gave, so that no read waits for them.
    const size_t dropped = std::min(static_cast<size_t>(slip), frames_got - 1);
    state.capture_position += dropped;
    frames_got -= dropped;
  }
  if (frames_got > 0 && state.clocked && state.last_write_ns != 0 &&
      calls.now_ns() - state.last_write_ns > loop.cushion_ns) {
    // A stall the streams did not report: playback has run dry, and what
    // was read would come out late.
    start(loop, state, true);
    return;
  }
  pass_through_rings(loop, state, frames_got);
  write_playback(loop, state, cycle_frames, frames_got, std::max<int64_t>(-slip, 0));
}

}  // namespace

void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers, const stream_calls& calls) {
  const loop_context loop{settings, plan, {calls, streams, buffers},
                          int64_t{cushion_frames} * 1000000000 / settings.sample_rate};
  loop_state state;
  state.capture_watch = watch_for("Recording stream keeps failing: %s\n", settings.sample_rate);
  state.playback_watch = watch_for("Playback stream keeps failing: %s\n", settings.sample_rate);
  const size_t cushion_bytes = cushion_frames * bytes_per_sample;
  state.ring_offset = buffers.delay_offset > cushion_bytes ? buffers.delay_offset - cushion_bytes : 0;
  // The delay heard to keep: the ring offset plus the cushion, which is the
  // delay asked for, or the cushion when that is longer.
  state.keeping = keep_delay_of(
      static_cast<int64_t>(state.ring_offset / bytes_per_sample + cushion_frames), settings.sample_rate);

  if (settings.frame_budget > 0) start(loop, state, false);
  while (settings.frame_budget > 0) {
    transfer_cycle(loop, state);
    if (static_cast<uint64_t>(state.frames_written) >= settings.frame_budget) break;
    show_progress(loop, state);
  }
  mark("\nFinished");
}
