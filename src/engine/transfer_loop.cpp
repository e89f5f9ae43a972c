#include "engine/transfer_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "engine/block_transfer.h"
#include "engine/delay_correction.h"
#include "engine/delay_keeping.h"
#include "engine/stream_start.h"

namespace {

struct loop_context {
  const run_settings& settings;
  const routing_plan& plan;
  audio_path path;
  size_t cushion;      // frames of silence before each start
  int64_t cushion_ns;  // how long the cushion takes to play
};

struct loop_state {
  ring_cursor rings;
  size_t capture_position = 0;   // frames into the capture block's areas
  size_t playback_position = 0;  // frames into the playback block's areas
  int64_t frames_written = 0;    // frames playback took, silence included
  int64_t written_at_look = 0;   // frames_written at the last look at the delay
  float last_shown_seconds = 0.0f;
  stream_run run;
  bool clocked = false;  // the streams have reported a delay: the device has a clock
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

// Looks at the delay heard once a cycle has read `frames` frames, and sheds
// or pads what the delay keeping says; returns the frames read that are
// still to play.
size_t look_at_delay(const loop_context& loop, loop_state& state, size_t frames) {
  int64_t heard = 0;
  const bool usable = look_at_streams(loop.path, loop.settings.sample_rate, state.rings, frames, heard);
  state.clocked = state.clocked || usable;
  // The sound captured since the start plays from this cycle on.
  const bool last =
      static_cast<int64_t>(state.rings.offset / bytes_per_sample) - state.rings.fresh < static_cast<int64_t>(frames);
  const auto played = static_cast<size_t>(state.frames_written - state.written_at_look);
  state.written_at_look = state.frames_written;
  const int64_t excess = take_look(state.keeping, usable, heard, played, last);
  const int32_t tracks = loop.plan.track_count;
  if (excess > 0) return shed(loop.path, tracks, state.rings, excess, state.capture_position, frames);
  if (excess < 0) state.frames_written += static_cast<int64_t>(pad(loop.path, tracks, state.rings, -excess));
  return frames;
}

// Starts both streams behind their cushion, the first time or again; the
// delay heard is measured anew. `unwritten` frames taken from the rings for
// playback could not be written.
void start(const loop_context& loop, loop_state& state, bool again, size_t unwritten = 0) {
  const uint32_t rate = loop.settings.sample_rate;
  const int64_t behind = again ? frames_behind(loop.path, state.run, state.frames_written, unwritten, rate) : 0;
  state.frames_written +=
      static_cast<int64_t>(again ? restart_streams(loop.path, loop.cushion) : start_streams(loop.path, loop.cushion));
  if (behind > 0) skip_stopped(loop.path.buffers, loop.plan.track_count, state.rings, behind);
  // Playback dropped with frames still to play (a restart for capture's
  // sake) is given as much silence more, so that nothing comes out early.
  if (behind < 0) {
    state.frames_written += static_cast<int64_t>(write_silence(loop.path, static_cast<size_t>(-behind)));
  }
  state.run = run_from_now(loop.path, state.frames_written);
  state.rings.fresh = 0;
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

// Each track's new bytes go ring offset bytes ahead of the ring position, and
// as many bytes at the ring position go to the playback block: written first,
// so that with no offset a cycle plays what it has just captured. Frames that
// were not captured are neither written nor played, so nothing plays twice.
void pass_through_rings(const loop_context& loop, loop_state& state, size_t frames) {
  audio_buffers& buffers = loop.path.buffers;
  ring_cursor& rings = state.rings;
  const size_t bytes = frames * bytes_per_sample;
  const size_t write_position = ring_advance(rings.position, rings.offset, buffers.ring_size);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    ring_append(buffers.rings[k], write_position,
                channel_area(buffers.capture, loop.plan.tracks[k].capture_channel, state.capture_position),
                sample_stride(buffers.capture), bytes);
  }
  state.capture_position = advance_position(state.capture_position, frames);
  rings.fresh += static_cast<int64_t>(frames);

  state.playback_position = fitting_position(state.playback_position, frames);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    const track& path = loop.plan.tracks[k];
    for (int32_t c = 0; c < path.playback_channel_count; ++c) {
      ring_extract(buffers.rings[k], rings.position,
                   channel_area(buffers.playback, path.playback_channels[c], state.playback_position),
                   sample_stride(buffers.playback), bytes);
    }
  }
  rings.position = ring_advance(rings.position, bytes, buffers.ring_size);
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
  state.run.last_write_ns = loop.path.calls.now_ns();
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

  size_t frames = read_capture(loop, state, cycle_frames);
  if (frames > 0 && state.clocked && state.run.last_write_ns != 0 &&
      calls.now_ns() - state.run.last_write_ns > loop.cushion_ns) {
    // A stall the streams did not report: playback has run dry, and what
    // was read would come out late.
    start(loop, state, true);
    return;
  }
  if (frames > 0) frames = look_at_delay(loop, state, frames);
  const int64_t slip = slip_in(state.keeping, frames);
  if (slip > 0 && frames > 1) {
    // Dropped from what this read gave, so that no read waits for them.
    const size_t dropped = std::min(static_cast<size_t>(slip), frames - 1);
    state.capture_position += dropped;
    frames -= dropped;
  }
  pass_through_rings(loop, state, frames);
  write_playback(loop, state, cycle_frames, frames, std::max<int64_t>(-slip, 0));
}

}  // namespace

void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers, const stream_calls& calls) {
  const size_t cushion = cushion_for(buffers.delay_offset / bytes_per_sample);
  const loop_context loop{settings, plan, {calls, streams, buffers}, cushion,
                          static_cast<int64_t>(cushion) * 1000000000 / settings.sample_rate};
  loop_state state;
  state.capture_watch = watch_for("Recording stream keeps failing: %s\n", settings.sample_rate);
  state.playback_watch = watch_for("Playback stream keeps failing: %s\n", settings.sample_rate);
  const size_t cushion_bytes = cushion * bytes_per_sample;
  state.rings.offset = buffers.delay_offset > cushion_bytes ? buffers.delay_offset - cushion_bytes : 0;
  // The delay heard to keep: the ring offset plus the cushion, which is the
  // delay asked for, or the cushion when that is longer.
  state.keeping = keep_delay_of(
      static_cast<int64_t>(state.rings.offset / bytes_per_sample + cushion), settings.sample_rate);

  if (settings.frame_budget > 0) start(loop, state, false);
  while (settings.frame_budget > 0) {
    transfer_cycle(loop, state);
    if (static_cast<uint64_t>(state.frames_written) >= settings.frame_budget) break;
    show_progress(loop, state);
  }
  mark("\nFinished");
}
