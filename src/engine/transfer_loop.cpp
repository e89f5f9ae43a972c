#include "engine/transfer_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "fatal.h"

const stream_calls alsa_stream_calls = {
    snd_pcm_wait, snd_pcm_avail_update, snd_pcm_readn, snd_pcm_writen, snd_pcm_prepare, snd_pcm_resume,
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

// Counts the cycles in a row in which one stream moved no frame, because its
// transfer failed or because it moved nothing (a playback stream that offers
// no room makes cycles of 0 frames); too many end the run rather than spin on
// a dead device.
struct failure_watch {
  const char* message;
  uint64_t failed_cycles = 0;
};

// `expected` says whether the stream was due to move frames this cycle:
// playback always is, capture only when playback had room for them.
void watch_result(failure_watch& watch, snd_pcm_sframes_t result, bool expected, uint64_t limit) {
  if (result > 0) {
    watch.failed_cycles = 0;
    return;
  }
  if (result == 0 && !expected) return;
  // A transfer that moved nothing without an error is reported as a stream
  // that is not ready.
  const auto error = static_cast<int>(result < 0 ? result : -EAGAIN);
  if (++watch.failed_cycles >= limit) fail(stderr, watch.message, snd_strerror(error));
}

// Brings a stream back after a transfer error that is not an overrun or
// underrun: resumed after a suspend where the device can, else prepared again.
// A resume still in progress (-EAGAIN) is tried again on the next cycle.
void recover(const stream_calls& calls, snd_pcm_t* stream, snd_pcm_sframes_t error) {
  if (error == -ESTRPIPE) {
    const int resumed = calls.resume(stream);
    if (resumed == 0 || resumed == -EAGAIN) return;
  }
  calls.prepare(stream);
}

// The frames a transfer moved: 0 for any error result.
size_t frames_moved(snd_pcm_sframes_t result, size_t asked) {
  return result > 0 ? std::min(static_cast<size_t>(result), asked) : 0;
}

}  // namespace

void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers, const stream_calls& calls) {
  const size_t ring_size = buffers.ring_size;
  const size_t delay_offset = buffers.delay_offset;
  const uint64_t failing_cycles_limit =
      std::max<uint64_t>(1, uint64_t{failing_stream_seconds} * settings.sample_rate / frames_per_block);

  size_t ring_position = 0;
  size_t capture_position = 0;   // frames into the capture block's areas
  size_t playback_position = 0;  // frames into the playback block's areas
  int64_t frames_written = 0;
  float last_shown_seconds = 0.0f;
  failure_watch capture_watch{"Recording stream keeps failing: %s\n"};
  failure_watch playback_watch{"Playback stream keeps failing: %s\n"};

  while (settings.frame_budget > 0) {
    calls.wait(streams.playback, wait_timeout_ms);
    calls.wait(streams.capture, wait_timeout_ms);

    // An error reads as a very large count, so it also gives a full block.
    const auto available = static_cast<snd_pcm_uframes_t>(calls.avail_update(streams.playback));
    const size_t cycle_frames = std::min<snd_pcm_uframes_t>(available, frames_per_block);

    capture_position = fitting_position(capture_position, cycle_frames);
    fill_transfer_pointers(buffers.capture, capture_position, buffers.capture_pointers);
    const snd_pcm_sframes_t got =
        calls.readn(streams.capture, buffers.capture_pointers.data(), cycle_frames);
    if (got == -EPIPE) {
      std::puts("\nRX");
      std::fflush(stdout);
      calls.prepare(streams.capture);
    } else if (got < 0) {
      recover(calls, streams.capture, got);
    }
    watch_result(capture_watch, got, cycle_frames > 0, failing_cycles_limit);

    // Each track's new bytes go delay_offset bytes ahead of the ring position,
    // and the bytes at the ring position go to playback: written first, so
    // that with no delay a cycle plays what it has just captured.
    const size_t frames_got = frames_moved(got, cycle_frames);
    const size_t bytes = frames_got * bytes_per_sample;
    const size_t write_position = ring_advance(ring_position, delay_offset, ring_size);
    for (int32_t k = 0; k < plan.track_count; ++k) {
      ring_append(buffers.rings[k], write_position,
                  channel_area(buffers.capture, plan.tracks[k].capture_channel, capture_position),
                  bytes);
    }
    capture_position = advance_position(capture_position, frames_got);

    playback_position = fitting_position(playback_position, cycle_frames);
    for (int32_t k = 0; k < plan.track_count; ++k) {
      const track& path = plan.tracks[k];
      for (int32_t c = 0; c < path.playback_channel_count; ++c) {
        ring_extract(buffers.rings[k], ring_position,
                     channel_area(buffers.playback, path.playback_channels[c], playback_position),
                     bytes);
      }
    }
    fill_transfer_pointers(buffers.playback, playback_position, buffers.playback_pointers);
    const snd_pcm_sframes_t put =
        calls.writen(streams.playback, buffers.playback_pointers.data(), cycle_frames);
    if (put == -EPIPE) {
      std::puts("\nPX");
      std::fflush(stdout);
      calls.prepare(streams.playback);
    } else if (put < 0) {
      recover(calls, streams.playback, put);
    }
    watch_result(playback_watch, put, true, failing_cycles_limit);
    const size_t frames_put = frames_moved(put, cycle_frames);
    playback_position = advance_position(playback_position, frames_put);
    frames_written += static_cast<int64_t>(frames_put);

    ring_position = ring_advance(ring_position, bytes, ring_size);

    if (static_cast<uint64_t>(frames_written) >= settings.frame_budget) break;

    const auto shown = static_cast<float>(static_cast<uint64_t>(frames_written) / settings.sample_rate);
    if (shown - last_shown_seconds >= 1.0f) {
      std::printf("\r%.0f sec", static_cast<double>(shown));
      std::fflush(stdout);
      last_shown_seconds = shown;
    }
  }
  std::puts("\nFinished");
  std::fflush(stdout);
}
