#include "engine/ring_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"

namespace {

constexpr const char* memory_message = "Cannot allocate enough memory.  Try reducing delay time.\n";

// Anonymous private mappings read as zeros and take resident memory only
// page by page as they are written: a long delay costs what it has filled.
unsigned char* map_zeroed(size_t size) {
  void* bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return bytes == MAP_FAILED ? nullptr : static_cast<unsigned char*>(bytes);
}

staging_block allocate_staging_block(int32_t channel_count) {
  staging_block block;
  block.channel_count = channel_count;
  block.bytes = static_cast<unsigned char*>(
      std::malloc(static_cast<size_t>(channel_count) * channel_area_bytes));
  if (block.bytes == nullptr) fail(stdout, "%s", memory_message);
  return block;
}

// A part of length 0 is not copied: an empty source or destination may be a
// null pointer, which memcpy must not be given even for no bytes.
void copy_part(unsigned char* destination, const unsigned char* source, size_t size) {
  if (size > 0) std::memcpy(destination, source, size);
}

size_t block_size(const staging_block& block) {
  return static_cast<size_t>(block.channel_count) * channel_area_bytes;
}

}  // namespace

size_t ring_size_for(float delay_seconds, uint32_t sample_rate) {
  // Computed in single precision: the sum first, then the rate, then 3.
  const float bytes =
      (delay_seconds + 1.0f) * static_cast<float>(sample_rate) * static_cast<float>(bytes_per_sample);
  const auto needed = static_cast<int64_t>(bytes);
  size_t size = smallest_ring_size;
  while (static_cast<int64_t>(size) < needed) size *= 2;
  return size;
}

size_t delay_offset_for(float delay_seconds, uint32_t sample_rate) {
  const float frames = static_cast<float>(sample_rate) * delay_seconds;
  return static_cast<size_t>(frames) * bytes_per_sample;
}

audio_buffers allocate_buffers(const run_settings& settings, const routing_plan& plan) {
  audio_buffers buffers;
  const int32_t channels = plan.device_channel_count;

  buffers.playback = allocate_staging_block(channels);
  buffers.playback_pointers.resize(static_cast<size_t>(channels));
  buffers.capture_pointers.resize(static_cast<size_t>(channels));
  buffers.capture = allocate_staging_block(channels);

  buffers.ring_size = ring_size_for(settings.delay_seconds, settings.sample_rate);
  // All four rings are attempted before any is tested; the track 2 pair is
  // taken in every mode.
  for (track_ring& ring : buffers.rings) {
    ring.bytes = map_zeroed(buffers.ring_size);
    ring.size = buffers.ring_size;
  }
  for (const track_ring& ring : buffers.rings) {
    if (ring.bytes == nullptr) fail(stdout, "%s", memory_message);
  }

  std::memset(buffers.playback.bytes, 0, block_size(buffers.playback));
  std::memset(buffers.capture.bytes, 0, block_size(buffers.capture));

  buffers.delay_offset = delay_offset_for(settings.delay_seconds, settings.sample_rate);
  assert(buffers.delay_offset < buffers.ring_size);
  return buffers;
}

void free_buffers(audio_buffers& buffers) {
  for (track_ring& ring : buffers.rings) {
    munmap(ring.bytes, ring.size);
    ring.bytes = nullptr;
  }
  std::free(buffers.playback.bytes);
  buffers.playback.bytes = nullptr;
  std::free(buffers.capture.bytes);
  buffers.capture.bytes = nullptr;
}

void fill_transfer_pointers(const staging_block& block, size_t frame, std::vector<void*>& pointers) {
  for (int32_t channel = 0; channel < block.channel_count; ++channel) {
    pointers[static_cast<size_t>(channel)] = channel_area(block, channel, frame);
  }
}

void ring_append(track_ring& ring, size_t W, const unsigned char* source, size_t n) {
  assert(W < ring.size && n < ring.size);
  const size_t first = std::min(n, ring.size - W);
  copy_part(ring.bytes + W, source, first);
  copy_part(ring.bytes, source + first, n - first);
}

void ring_delay_copy(const track_ring& input, track_ring& output, size_t W, size_t D, size_t n) {
  const size_t N = input.size;
  assert(W < N && D < N && n < N && output.size == N);
  size_t from = W;
  size_t to = ring_advance(W, D, N);
  // Each piece ends at the nearer of the two wraps: at most three pieces.
  while (n > 0) {
    const size_t piece = std::min({n, N - from, N - to});
    std::memcpy(output.bytes + to, input.bytes + from, piece);
    from = ring_advance(from, piece, N);
    to = ring_advance(to, piece, N);
    n -= piece;
  }
}

void ring_extract(const track_ring& ring, size_t W, unsigned char* destination, size_t n) {
  assert(W < ring.size && n < ring.size);
  const size_t first = std::min(n, ring.size - W);
  copy_part(destination, ring.bytes + W, first);
  copy_part(destination + first, ring.bytes, n - first);
}

size_t ring_advance(size_t W, size_t n, size_t N) {
  const size_t next = W + n;
  return next >= N ? next - N : next;
}
