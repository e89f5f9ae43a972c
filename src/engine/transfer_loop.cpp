#include "engine/transfer_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "fatal.h"

const stream_calls alsa_stream_calls = {
    snd_pcm_wait,    snd_pcm_avail_update, snd_pcm_readn, snd_pcm_writen, snd_pcm_readi,
    snd_pcm_writei,  snd_pcm_prepare,      snd_pcm_resume, snd_pcm_start, snd_pcm_drop,
    snd_pcm_delay,
};

namespace {

// Where a transfer of `frames` starts in a staging block: at `position`, or
// back at frame 0 when it would run past the end of the channel areas.
size_t fitting_position(size_t position, size_t frames) {
  return position + frames > frames_per_block ? 0 : position;
}

size_t advance_position(size_t position, size_t frames) {
  position += frames;
  return position >= frames_per_block ? 0 : position;
}

// The frames a transfer moved: 0 for any error result.
size_t frames_moved(snd_pcm_sframes_t result, size_t asked) {
  return result > 0 ? std::min(static_cast<size_t>(result), asked) : 0;
}

// Counts the cycles in a row in which one stream failed to move frames it was
// due to move, because its transfer failed or moved nothing (a playback stream
// that offers no room makes cycles of 0 frames).
struct failure_watch {
  const char* message;
  uint64_t failed_cycles = 0;
};

struct loop_context {
  const run_settings& settings;
  const routing_plan& plan;
  const pcm_pair& streams;
  audio_buffers& buffers;
  const stream_calls& calls;
  uint64_t restart_cycles;        // failed cycles in a row before a restart
  uint64_t failing_cycles_limit;  // failed cycles in a row that end the run
};

struct loop_state {
  size_t ring_position = 0;      // bytes: where playback reads every track's ring
  size_t ring_offset = 0;        // bytes: how far ahead of that capture writes
  size_t capture_position = 0;   // frames into the capture block's areas
  size_t playback_position = 0;  // frames into the playback block's areas
  int64_t frames_written = 0;    // frames playback took, silence included
  float last_shown_seconds = 0.0f;
  failure_watch capture_watch{"Recording stream keeps failing: %s\n"};
  failure_watch playback_watch{"Playback stream keeps failing: %s\n"};
  bool alignment_due = true;      // the delay heard is to be set right after a write
  uint32_t writes_to_settle = 0;  // writes left before it is measured
  uint32_t alignment_tries = 0;   // looks made while it is due
  uint64_t unchecked_writes = 0;  // writes since the delay was last looked at
  uint32_t like_looks = 0;        // usable looks in a row that found it alike
  int64_t last_look = 0;          // frames: what the last of them found
  int64_t kept_frames = 0;        // the delay heard to keep: ring offset plus cushion
  bool delay_set = false;         // whether the delay heard was set once yet
};

// Writes after a stream was brought back before the delay is measured again.
constexpr uint32_t settling_writes = 3;

// A delay heard found off by more than this many milliseconds, alike this
// many times in a row a second apart, with no stream brought back, is set
// right. Reports may stray by a quantum for long stretches while the delay
// heard is right: the bound lies above the largest (8192 frames).
constexpr int64_t drift_tolerance_ms = 250;
constexpr uint32_t drift_checks = 3;

// Looks in a row, on writes in a row, that must agree to within a millisecond
// before the delay heard is first set.
constexpr uint32_t first_checks = 2;

// Counts one more failed cycle; `error` names the failure should it end the
// run. Returns whether the stream is due to be dropped and prepared again.
bool failed_again(const loop_context& loop, failure_watch& watch, snd_pcm_sframes_t error) {
  if (++watch.failed_cycles >= loop.failing_cycles_limit) {
    fail(stderr, watch.message, snd_strerror(static_cast<int>(error)));
  }
  return watch.failed_cycles % loop.restart_cycles == 0;
}

void mark(const char* line) {
  std::puts(line);
  std::fflush(stdout);
}

// Reads `frames` captured frames into the capture block from frame
// `position` on, in the block's layout.
snd_pcm_sframes_t read_block(const loop_context& loop, size_t position, size_t frames) {
  const staging_block& block = loop.buffers.capture;
  if (block.interleaved) {
    return loop.calls.readi(loop.streams.capture, channel_area(block, 0, position), frames);
  }
  fill_transfer_pointers(block, position, loop.buffers.capture_pointers);
  return loop.calls.readn(loop.streams.capture, loop.buffers.capture_pointers.data(), frames);
}

// Writes `frames` frames of `block` (the playback block or the block of
// silence) to playback, from frame `position` on.
snd_pcm_sframes_t write_block(const loop_context& loop, const staging_block& block,
                              size_t position, size_t frames) {
  if (block.interleaved) {
    return loop.calls.writei(loop.streams.playback, channel_area(block, 0, position), frames);
  }
  fill_transfer_pointers(block, position, loop.buffers.playback_pointers);
  return loop.calls.writen(loop.streams.playback, loop.buffers.playback_pointers.data(), frames);
}

// Writes `frames` frames of silence to playback, a block at a time, and counts
// them as played. Stops at a write that does not take its whole block.
void write_silence(const loop_context& loop, loop_state& state, size_t frames) {
  while (frames > 0) {
    const size_t piece = std::min(frames, frames_per_block);
    const snd_pcm_sframes_t put = write_block(loop, loop.buffers.silence, 0, piece);
    state.frames_written += static_cast<int64_t>(frames_moved(put, piece));
    if (put != static_cast<snd_pcm_sframes_t>(piece)) return;
    frames -= piece;
  }
}

// After a stream was brought back, the delay heard is set right again once
// it has settled.
void measure_again(loop_state& state) {
  state.alignment_due = true;
  state.alignment_tries = 0;
  state.like_looks = 0;
  state.writes_to_settle = settling_writes;
}

// A prepared playback stream gets its cushion before any audio; a prepared
// capture stream is started at once, so that its first block is due a block
// after the cushion began to play.
void start_again(const loop_context& loop, loop_state& state, snd_pcm_t* stream) {
  if (stream == loop.streams.playback) {
    write_silence(loop, state, cushion_frames);
  } else {
    loop.calls.start(stream);
  }
  measure_again(state);
}

// Brings a stream back after a failed transfer: resumed after a suspend where
// the device can (a resume still in progress, -EAGAIN, is tried again on the
// next cycle), else prepared and started again. Returns whether it was
// prepared again.
bool recover(const loop_context& loop, loop_state& state, snd_pcm_t* stream,
             snd_pcm_sframes_t error) {
  if (error == -ESTRPIPE) {
    const int resumed = loop.calls.resume(stream);
    if (resumed == 0 || resumed == -EAGAIN) {
      measure_again(state);
      return false;
    }
  }
  loop.calls.prepare(stream);
  start_again(loop, state, stream);
  return true;
}

// For a stream that has kept failing: whatever it holds is dropped, and it is
// prepared and started as at the beginning of the run.
void restart(const loop_context& loop, loop_state& state, snd_pcm_t* stream) {
  loop.calls.drop(stream);
  loop.calls.prepare(stream);
  start_again(loop, state, stream);
}

// Reads up to `cycle_frames` captured frames; returns how many arrived.
size_t read_capture(const loop_context& loop, loop_state& state, size_t cycle_frames) {
  state.capture_position = fitting_position(state.capture_position, cycle_frames);
  const snd_pcm_sframes_t got = read_block(loop, state.capture_position, cycle_frames);
  if (got == -EPIPE) mark("\nRX");
  if (got < 0) recover(loop, state, loop.streams.capture, got);

  if (got > 0) {
    state.capture_watch.failed_cycles = 0;
  } else if (cycle_frames > 0) {
    // A read of nothing without an error is reported as a stream not ready.
    if (failed_again(loop, state.capture_watch, got < 0 ? got : -EAGAIN)) {
      restart(loop, state, loop.streams.capture);
    }
  }
  return frames_moved(got, cycle_frames);
}

// Each track's new bytes go ring_offset bytes ahead of the ring position, and
// as many bytes at the ring position go to the playback block: written first,
// so that with no offset a cycle plays what it has just captured. Frames that
// were not captured are neither written nor played, so nothing plays twice.
void pass_through_rings(const loop_context& loop, loop_state& state, size_t frames) {
  audio_buffers& buffers = loop.buffers;
  const size_t bytes = frames * bytes_per_sample;
  const size_t write_position = ring_advance(state.ring_position, state.ring_offset, buffers.ring_size);
  for (int32_t k = 0; k < loop.plan.track_count; ++k) {
    ring_append(buffers.rings[k], write_position,
                channel_area(buffers.capture, loop.plan.tracks[k].capture_channel,
                             state.capture_position),
                sample_stride(buffers.capture), bytes);
  }
  state.capture_position = advance_position(state.capture_position, frames);

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

// Plays the `frames` frames the rings gave this cycle; returns how many the
// stream took. A write that failed is made once more after the stream is
// prepared again, behind its new cushion, so the frames are not lost.
size_t write_playback(const loop_context& loop, loop_state& state, size_t cycle_frames,
                      size_t frames) {
  if (cycle_frames == 0) {
    // No room at all: the stream is not ready.
    if (failed_again(loop, state.playback_watch, -EAGAIN)) {
      restart(loop, state, loop.streams.playback);
    }
    return 0;
  }
  if (frames == 0) return 0;  // nothing captured, nothing to play

  const staging_block& block = loop.buffers.playback;
  snd_pcm_sframes_t put = write_block(loop, block, state.playback_position, frames);
  if (put == -EPIPE) mark("\nPX");
  if (put < 0 && recover(loop, state, loop.streams.playback, put)) {
    put = write_block(loop, block, state.playback_position, frames);
  }
  if (put > 0) {
    state.playback_watch.failed_cycles = 0;
  } else if (failed_again(loop, state.playback_watch, put < 0 ? put : -EAGAIN)) {
    restart(loop, state, loop.streams.playback);
  }
  const size_t put_frames = frames_moved(put, frames);
  state.playback_position = advance_position(state.playback_position, put_frames);
  state.frames_written += static_cast<int64_t>(put_frames);
  return put_frames;
}

// The frames a sound captured now takes to come out of playback, as the
// library reports the two streams: what capture holds before it can be read
// and what playback holds before it is heard. Each stream is asked twice,
// playback first: a sound server's thread moves both streams on by a
// processing quantum at once, and one step that falls between the two
// streams' reports puts their sum a quantum off, so the reports count only
// when each stream's two agree to within a millisecond. Unknown (false) too
// when a report fails, and when capture reports no delay at all: the
// PulseAudio plugin reports 0 whenever its own figure would be negative (the
// sum then comes out up to 2000 frames too high), a device whose position
// moves a period at a time reports 0 just after a read, and a device that
// takes frames at once, such as the null device, reports 0 always.
bool report_latency(const loop_context& loop, snd_pcm_sframes_t& playback,
                    snd_pcm_sframes_t& capture) {
  snd_pcm_t* const asked[4] = {loop.streams.playback, loop.streams.capture, loop.streams.playback,
                               loop.streams.capture};
  snd_pcm_sframes_t reports[4] = {};
  for (int k = 0; k < 4; ++k) {
    if (loop.calls.delay(asked[k], &reports[k]) < 0) return false;
  }
  const snd_pcm_sframes_t tolerance = loop.settings.sample_rate / 1000;
  playback = reports[2];
  capture = reports[3];
  return std::abs(reports[2] - reports[0]) <= tolerance &&
         std::abs(reports[3] - reports[1]) <= tolerance && reports[1] > 0 && capture > 0;
}

// Reads up to `frames` captured frames and leaves them unplayed; returns how
// many it read.
int64_t discard_capture(const loop_context& loop, loop_state& state, int64_t frames) {
  int64_t discarded = 0;
  if (frames <= 0) return 0;
  state.capture_position = 0;
  while (discarded < frames) {
    const auto piece = static_cast<size_t>(std::min<int64_t>(frames - discarded, frames_per_block));
    const snd_pcm_sframes_t got = read_block(loop, 0, piece);
    if (got <= 0) break;  // the next cycle's read sees to the stream
    discarded += static_cast<int64_t>(frames_moved(got, piece));
  }
  return discarded;
}

// Shortens the delay heard by `frames` by playing fewer. What capture holds
// already goes first: after a stall that is the sound of the stall, and the
// sound in the ring then plays on as it was. Next, frames are dropped from
// the ring, nearest to being played first, as far as it holds frames not yet
// played; the rest is read from capture as it comes and left unplayed.
void shed(const loop_context& loop, loop_state& state, int64_t frames, int64_t in_capture) {
  frames -= discard_capture(loop, state, std::min(frames, in_capture));
  const auto in_ring = static_cast<size_t>(
      std::min(frames, static_cast<int64_t>(state.ring_offset / bytes_per_sample)));
  state.ring_position =
      ring_advance(state.ring_position, in_ring * bytes_per_sample, loop.buffers.ring_size);
  state.ring_offset -= in_ring * bytes_per_sample;
  discard_capture(loop, state, frames - static_cast<int64_t>(in_ring));
}

// Keeps the delay heard, the ring offset plus the latency the streams
// report, at kept_frames: the ring offset the run began with plus the
// cushion, which is the delay asked for, or the cushion when that is longer.
// After each write that played frames, while it is due: first once looks on
// writes in a row have settled it, and again once a stream that was brought
// back has settled (its reports lag for a few blocks), frames are shed or
// silence is played until the delay heard is kept_frames to within a
// millisecond. What a device adds beyond the cushion is shed; a delay heard
// short of it, as when a server starts playback a quantum or two before
// capture and has played part of the cushion before the first frame is
// captured, is filled with silence. Otherwise the delay is looked at
// once a second's worth of writes, and set right when drift_checks looks in
// a row find it off alike, by more than drift_tolerance_ms: some stalls
// leave a stream running late without an overrun or underrun, and two
// devices on separate clocks drift apart. Looks that do not agree are
// reports still straying, as a sound server's do for some seconds after a
// stall, and change nothing.
void keep_delay(const loop_context& loop, loop_state& state) {
  if (state.writes_to_settle > 0) {
    --state.writes_to_settle;
    return;
  }
  if (!state.alignment_due && ++state.unchecked_writes < loop.restart_cycles) return;
  state.unchecked_writes = 0;
  // Given up after a second's worth of writes with no usable looks, until
  // the next restart.
  if (state.alignment_due && ++state.alignment_tries > loop.restart_cycles) {
    state.alignment_due = false;
    return;
  }
  snd_pcm_sframes_t playback = 0;
  snd_pcm_sframes_t capture = 0;
  if (!report_latency(loop, playback, capture)) {
    state.like_looks = 0;
    return;
  }
  const int64_t rate = loop.settings.sample_rate;
  const auto ring_frames = static_cast<int64_t>(state.ring_offset / bytes_per_sample);
  const int64_t heard = ring_frames + static_cast<int64_t>(playback) + static_cast<int64_t>(capture);
  const bool alike = state.like_looks > 0 && std::abs(heard - state.last_look) <= rate / 1000;
  state.like_looks = alike ? state.like_looks + 1 : 1;
  state.last_look = heard;
  if (state.alignment_due) {
    // The first setting waits for two like looks in a row, or takes the last
    // look of its second: a server's first reports can be rough, as the
    // PulseAudio plugin's close in on the delay by tens of milliseconds
    // over the first few hundred, and one look may fall between a server's
    // steps on the two streams. After a stall a server's reports stray for
    // some seconds, and the backlog is best shed on the first look.
    const bool last_try = state.alignment_tries >= loop.restart_cycles;
    if (!state.delay_set && state.like_looks < first_checks && !last_try) return;
  } else if (state.like_looks < drift_checks) {
    return;
  }

  const int64_t excess = heard - state.kept_frames;
  if (!state.alignment_due && std::abs(excess) <= rate * drift_tolerance_ms / 1000) return;
  state.alignment_due = false;
  state.delay_set = true;
  state.like_looks = 0;
  if (excess > rate / 1000) {
    shed(loop, state, excess, capture);
  } else if (excess < -rate / 1000) {
    const snd_pcm_sframes_t room = loop.calls.avail_update(loop.streams.playback);
    write_silence(loop, state,
                  static_cast<size_t>(std::min<int64_t>(-excess, std::max<snd_pcm_sframes_t>(room, 0))));
  }
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

uint64_t cycles_in(uint32_t seconds, uint32_t sample_rate) {
  return std::max<uint64_t>(1, uint64_t{seconds} * sample_rate / frames_per_block);
}

}  // namespace

void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers, const stream_calls& calls) {
  const loop_context loop{settings,
                          plan,
                          streams,
                          buffers,
                          calls,
                          cycles_in(restart_stream_seconds, settings.sample_rate),
                          cycles_in(failing_stream_seconds, settings.sample_rate)};
  loop_state state;
  const size_t cushion_bytes = cushion_frames * bytes_per_sample;
  state.ring_offset = buffers.delay_offset > cushion_bytes ? buffers.delay_offset - cushion_bytes : 0;
  state.kept_frames = static_cast<int64_t>(state.ring_offset / bytes_per_sample + cushion_frames);
  // The run begins as a restart of both streams does, but the delay heard is
  // measured after the very first write.
  if (settings.frame_budget > 0) {
    start_again(loop, state, streams.playback);
    start_again(loop, state, streams.capture);
    state.writes_to_settle = 0;
  }

  while (settings.frame_budget > 0) {
    calls.wait(streams.playback, wait_timeout_ms);
    // An error reads as a very large count, so it also gives a full block.
    const auto available = static_cast<snd_pcm_uframes_t>(calls.avail_update(streams.playback));
    const size_t cycle_frames = std::min<snd_pcm_uframes_t>(available, frames_per_block);

    const size_t frames_got = read_capture(loop, state, cycle_frames);
    pass_through_rings(loop, state, frames_got);
    const size_t frames_put = write_playback(loop, state, cycle_frames, frames_got);
    if (frames_put > 0) keep_delay(loop, state);

    if (static_cast<uint64_t>(state.frames_written) >= settings.frame_budget) break;
    show_progress(loop, state);
  }
  mark("\nFinished");
}
