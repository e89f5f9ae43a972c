#include "engine/delay_correction.h"

#include <algorithm>
#include <cstdlib>

// Each stream is asked twice, playback first: a sound server's thread moves
// both streams on by a processing quantum at once, and one step that falls
// between the two streams' reports puts their sum a quantum off, so the
// reports count only when each stream's two agree to within a millisecond.
// They do not count when a report fails, nor when a stream reports no delay
// at all: the PulseAudio plugin reports 0 whenever its own figure would be
// negative, and a device that takes frames at once, such as the null
// device, reports 0 always.
bool look_at_streams(const audio_path& path, uint32_t rate, const ring_cursor& cursor, size_t got,
                     int64_t& heard) {
  snd_pcm_t* const asked[4] = {path.streams.playback, path.streams.capture, path.streams.playback,
                               path.streams.capture};
  snd_pcm_sframes_t reports[4] = {};
  for (int k = 0; k < 4; ++k) {
    if (path.calls.delay(asked[k], &reports[k]) < 0) return false;
  }
  heard = static_cast<int64_t>(cursor.offset / bytes_per_sample + got) + reports[2] + reports[3];
  const snd_pcm_sframes_t tolerance = rate / 1000;
  return std::abs(reports[2] - reports[0]) <= tolerance && std::abs(reports[3] - reports[1]) <= tolerance &&
         std::min({reports[0], reports[1], reports[2], reports[3]}) > 0;
}

namespace {

// Moves the sound captured since the start `bytes` earlier in every track's
// ring (`later` false) or later, so that the sound captured before the start
// plays as it was. Needs that none of the new sound has begun to play, and
// room in the ring to move it to.
bool move_new_sound(const audio_path& path, int32_t track_count, ring_cursor& cursor, size_t bytes,
                    bool later) {
  audio_buffers& buffers = path.buffers;
  const auto fresh = static_cast<size_t>(cursor.fresh) * bytes_per_sample;
  const bool fits = later ? fresh <= cursor.offset &&
                                cursor.offset + bytes + channel_area_bytes <= buffers.ring_size
                          : fresh + bytes <= cursor.offset;
  if (!fits) return false;
  const size_t junction = ring_advance(cursor.position, cursor.offset - fresh, buffers.ring_size);
  const size_t to = later ? ring_advance(junction, bytes, buffers.ring_size)
                          : ring_advance(junction, buffers.ring_size - bytes, buffers.ring_size);
  for (int32_t k = 0; k < track_count; ++k) {
    ring_move(buffers.rings[k], junction, to, fresh, later, buffers.scratch.data(), buffers.scratch.size());
    if (later) ring_clear(buffers.rings[k], junction, bytes);
  }
  cursor.offset = later ? cursor.offset + bytes : cursor.offset - bytes;
  return true;
}

}  // namespace

size_t shed(const audio_path& path, int32_t track_count, ring_cursor& cursor, int64_t frames,
            size_t& position, size_t got) {
  // The new sound moves up to the read position where none of it plays yet;
  // the rest is skipped where it is nearest to being played (all the rings
  // hold before the write position is new sound then), then dropped from
  // the front of what was just read, then from what capture gives next.
  audio_buffers& buffers = path.buffers;
  auto rest = static_cast<size_t>(frames);
  const auto lead = static_cast<size_t>(
      std::max<int64_t>(static_cast<int64_t>(cursor.offset / bytes_per_sample) - cursor.fresh, 0));
  const size_t moved = std::min(rest, lead);
  if (moved > 0) move_new_sound(path, track_count, cursor, moved * bytes_per_sample, false);
  rest -= moved;
  const size_t skipped = std::min(rest * bytes_per_sample, cursor.offset);
  cursor.position = ring_advance(cursor.position, skipped, buffers.ring_size);
  cursor.offset -= skipped;
  rest -= skipped / bytes_per_sample;
  const size_t dropped = std::min(rest, got);
  position += dropped;
  discard_capture(path, rest - dropped);
  return got - dropped;
}

size_t pad(const audio_path& path, int32_t track_count, ring_cursor& cursor, int64_t frames) {
  if (move_new_sound(path, track_count, cursor, static_cast<size_t>(frames) * bytes_per_sample, true)) {
    return 0;
  }
  const snd_pcm_sframes_t room = path.calls.avail_update(path.streams.playback);
  return write_silence(path, static_cast<size_t>(std::min<int64_t>(frames, std::max<snd_pcm_sframes_t>(room, 0))));
}

void skip_stopped(audio_buffers& buffers, int32_t track_count, ring_cursor& cursor, int64_t stopped) {
  const size_t skipped = std::min(static_cast<size_t>(stopped) * bytes_per_sample, cursor.offset);
  const size_t write_position = ring_advance(cursor.position, cursor.offset, buffers.ring_size);
  for (int32_t k = 0; k < track_count; ++k) ring_clear(buffers.rings[k], write_position, skipped);
  cursor.position = ring_advance(cursor.position, skipped, buffers.ring_size);
}
