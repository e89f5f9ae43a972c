// Carrying out the delay keeping on a run's streams and rings: looking at
// what both streams report, and moving the sound captured since the last
// start within every track's ring (or reading and dropping frames, or
// playing silence) so that it is heard at the delay asked; after a restart,
// skipping what the stop would have made come out late. What to do and when
// is the transfer loop's, and the figures are delay_keeping's.
#pragma once

#include <cstdint>

#include "engine/block_transfer.h"

// Where the transfer loop stands in the track rings.
struct ring_cursor {
  size_t position = 0;  // bytes: where playback reads every track's ring
  size_t offset = 0;    // bytes: how far ahead of that capture writes
  int64_t fresh = 0;    // frames captured since the last start that went in
};

// The frames the first of the `got` frames just read takes from capture to
// being heard (`heard`): what the streams report they hold, the ring offset
// and those frames. Returns whether the reports are usable.
bool look_at_streams(const audio_path& path, uint32_t rate, const ring_cursor& cursor, size_t got,
                     int64_t& heard);

// Shortens the delay heard of the sound captured since the start by
// `frames`, when the capture block holds `got` frames just read at
// `position`: where none of that sound plays yet it moves earlier in the
// rings, up to the read position; the rest is skipped where it is nearest to
// being played, then dropped from the front of the frames just read (moving
// `position` on), then from what capture gives next. Returns the frames just
// read that are still to play.
size_t shed(const audio_path& path, int32_t track_count, ring_cursor& cursor, int64_t frames,
            size_t& position, size_t got);

// Lengthens it by `frames`: the sound moves later in the rings, behind
// silence, where it has room, else silence is played at once. Returns the
// frames of silence played.
size_t pad(const audio_path& path, int32_t track_count, ring_cursor& cursor, int64_t frames);

// After a restart, the ring's audio still to play would come out `stopped`
// frames late: that much of it, nearest to being played, is skipped, and
// the rings hold silence in its place after the last sound captured, so the
// rest plays when it is due and the new sound follows at the delay asked.
void skip_stopped(audio_buffers& buffers, int32_t track_count, ring_cursor& cursor, int64_t stopped);
