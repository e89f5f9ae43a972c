// Moving frames between a run's streams and its staging blocks, in each
// stream's layout (an area per channel, or interleaved), and nothing more:
// what to move and when is the transfer loop's.
#pragma once

#include "devices/pcm_streams.h"
#include "devices/stream_calls.h"
#include "engine/ring_buffer.h"

// What a run moves audio between: its stream calls, its two streams and its
// buffers.
struct audio_path {
  const stream_calls& calls;
  const pcm_pair& streams;
  audio_buffers& buffers;
};

// The frames a transfer moved: 0 for any error result.
size_t frames_moved(snd_pcm_sframes_t result, size_t asked);

// Reads `frames` captured frames into the capture block from frame
// `position` on.
snd_pcm_sframes_t read_block(const audio_path& path, size_t position, size_t frames);

// Writes `frames` frames of `block` (the playback block or the block of
// silence) to playback, from frame `position` on.
snd_pcm_sframes_t write_block(const audio_path& path, const staging_block& block, size_t position,
                              size_t frames);

// Writes `frames` frames of silence to playback, a block at a time; returns
// how many it took. Stops at a write that does not take its whole block.
size_t write_silence(const audio_path& path, size_t frames);

// Reads up to `frames` captured frames, a block at a time, and leaves them
// unplayed; returns how many it read. Stops at a read that moves nothing.
size_t discard_capture(const audio_path& path, size_t frames);
