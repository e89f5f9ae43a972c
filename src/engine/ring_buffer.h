// All audio memory of a run: the two staging blocks the sound library reads
// captured frames into and takes playback frames from, their transfer pointer
// arrays, a block of silence, one byte ring per track that makes the delay,
// and a channel area of scratch for moving sound within a ring.
//
// Bytes go into a track's ring delay_offset bytes ahead of the read position,
// and come out once the read position reaches them.
//
// Everything is taken once by allocate_buffers and given back by free_buffers;
// the ring operations allocate nothing. Positions and lengths in the rings are
// bytes, 3 to a sample; staging positions are frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "settings/routing_plan.h"
#include "settings/run_settings.h"

constexpr size_t bytes_per_sample = 3;     // signed 24-bit little-endian, packed
constexpr size_t frames_per_block = 4096;  // frames per channel area
constexpr size_t channel_area_bytes = frames_per_block * bytes_per_sample;
constexpr int32_t max_track_count = 2;

// One block of frames_per_block frames of `channel_count` channels, in the
// layout of the stream it serves: an area per channel, channel c's starting
// at byte c * channel_area_bytes, or interleaved, frame f's samples of every
// channel together from byte f * channel_count * bytes_per_sample.
struct staging_block {
  unsigned char* bytes = nullptr;
  int32_t channel_count = 0;
  bool interleaved = false;
};

struct track_ring {
  unsigned char* bytes = nullptr;  // `size` bytes, zero until written
  size_t size = 0;                 // ring_size: whole samples and whole pages
};

struct audio_buffers {
  staging_block playback;
  staging_block capture;
  staging_block silence;                 // never written: reads as zeros
  std::vector<void*> playback_pointers;  // device_channel_count entries
  std::vector<void*> capture_pointers;   // device_channel_count entries
  track_ring rings[max_track_count];     // rings[1] used only by a second track
  std::vector<unsigned char> scratch;    // channel_area_bytes, for ring_move
  size_t ring_size = 0;     // N, bytes
  size_t delay_offset = 0;  // D, bytes: a whole number of frames
};

// The ring size for a delay: the delay's bytes plus one full block of one
// track, rounded up to whole pages in groups of three, so that the end of the
// ring falls between two samples. A cycle then never writes over bytes it has
// still to read.
size_t ring_size_for(float delay_seconds, uint32_t sample_rate);

// The delay in bytes: whole frames, so that no played sample is made of the
// bytes of two captured ones.
size_t delay_offset_for(float delay_seconds, uint32_t sample_rate);

// Allocates the staging blocks (playback's and the block of silence in one
// layout, capture's in the other given), the pointer arrays and both
// zero-filled rings (the second in every mode), and computes the delay
// offset. Untouched ring and silence memory costs no resident memory. On any
// allocation failure writes the memory message and ends the process.
audio_buffers allocate_buffers(const run_settings& settings, const routing_plan& plan,
                               bool playback_interleaved = false,
                               bool capture_interleaved = false);

// Gives back the rings (track 1, track 2), then the playback block, the
// capture block and the block of silence.
void free_buffers(audio_buffers& buffers);

// Bytes from one of a channel's samples in a staging block to its next.
inline size_t sample_stride(const staging_block& block) {
  return block.interleaved ? static_cast<size_t>(block.channel_count) * bytes_per_sample
                           : bytes_per_sample;
}

// Channel `channel`'s sample at frame `frame` of a staging block.
inline unsigned char* channel_area(const staging_block& block, int32_t channel, size_t frame) {
  const size_t sample = block.interleaved
                            ? frame * static_cast<size_t>(block.channel_count) + static_cast<size_t>(channel)
                            : static_cast<size_t>(channel) * frames_per_block + frame;
  return block.bytes + sample * bytes_per_sample;
}

// Points entry c of `pointers` at channel c's area of `block`, at `frame`
// (for a block with an area per channel).
void fill_transfer_pointers(const staging_block& block, size_t frame, std::vector<void*>& pointers);

// REQUIRES for the ring operations: at < N, n <= N, n a whole number of
// samples.

// Copies n bytes into the ring from `at` on, wrapping at N, taken sample by
// sample from `source`, where each sample lies `stride` bytes after the one
// before (bytes_per_sample for consecutive samples).
void ring_append(track_ring& ring, size_t at, const unsigned char* source, size_t stride, size_t n);

// Copies n bytes of the ring from `at` on, wrapping at N, into `destination`,
// placing each sample `stride` bytes after the one before.
void ring_extract(const track_ring& ring, size_t at, unsigned char* destination, size_t stride,
                  size_t n);

// Sets n bytes of the ring from `at` on to silence, wrapping at N.
void ring_clear(track_ring& ring, size_t at, size_t n);

// Moves n bytes of the ring from `from` to `to`, which lies later (`later`)
// or earlier, through `scratch` (scratch_size bytes, whole samples).
void ring_move(track_ring& ring, size_t from, size_t to, size_t n, bool later,
               unsigned char* scratch, size_t scratch_size);

// The ring position n bytes after `at`, for n <= N.
size_t ring_advance(size_t at, size_t n, size_t N);
