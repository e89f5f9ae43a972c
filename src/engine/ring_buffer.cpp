#include "engine/ring_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

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

staging_block allocate_staging_block(int32_t channel_count, bool interleaved) {
  staging_block block;
  block.channel_count = channel_count;
  block.interleaved = interleaved;
  block.bytes = static_cast<unsigned char*>(
      std::malloc(static_cast<size_t>(channel_count) * channel_area_bytes));
  if (block.bytes == nullptr) fail(stdout, "%s", memory_message);
  return block;
}

// Copies in pieces of at most 4 KiB. For a whole block glibc's memcpy would
// use string instructions (rep movsb), which some processors run several
// times slower for some alignments of source and destination: five times
// slower in ring_throughput_bench on the machine this was written on. They
// are also counted byte by byte by instruction counters such as callgrind.
// A part of length 0 is not copied: an empty source or destination may be a
// null pointer, which memcpy must not be given even for no bytes.
constexpr size_t copy_piece_bytes = 4096;

void copy_part(unsigned char* destination, const unsigned char* source, size_t size) {
  while (size > 0) {
    const size_t piece = std::min(size, copy_piece_bytes);
    std::memcpy(destination, source, piece);
    destination += piece;
    source += piece;
    size -= piece;
  }
}

// Copies `size` bytes of samples into consecutive bytes, from samples
// `stride` bytes apart: a block copy when they are consecutive too.
void gather(unsigned char* destination, const unsigned char* source, size_t stride, size_t size) {
  if (stride == bytes_per_sample) {
    copy_part(destination, source, size);
    return;
  }
  for (size_t at = 0; at < size; at += bytes_per_sample, source += stride) {
    std::memcpy(destination + at, source, bytes_per_sample);
  }
}

// Where byte `at` of a run of samples lies in a staging block whose samples
// are `stride` bytes apart.
size_t staged_offset(size_t at, size_t stride) {
  return at / bytes_per_sample * stride + at % bytes_per_sample;
}

// The converse: consecutive samples out to samples `stride` bytes apart.
void scatter(unsigned char* destination, size_t stride, const unsigned char* source, size_t size) {
  if (stride == bytes_per_sample) {
    copy_part(destination, source, size);
    return;
  }
  for (size_t at = 0; at < size; at += bytes_per_sample, destination += stride) {
    std::memcpy(destination, source + at, bytes_per_sample);
  }
}

size_t block_size(const staging_block& block) {
  return static_cast<size_t>(block.channel_count) * channel_area_bytes;
}

}  // namespace

size_t ring_size_for(float delay_seconds, uint32_t sample_rate) {
  const size_t pages = bytes_per_sample * static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t needed = delay_offset_for(delay_seconds, sample_rate) + channel_area_bytes;
  return (needed + pages - 1) / pages * pages;
}

size_t delay_offset_for(float delay_seconds, uint32_t sample_rate) {
  const float frames = static_cast<float>(sample_rate) * delay_seconds;
  return static_cast<size_t>(frames) * bytes_per_sample;
}

audio_buffers allocate_buffers(const run_settings& settings, const routing_plan& plan,
                               bool playback_interleaved, bool capture_interleaved) {
  audio_buffers buffers;
  const int32_t channels = plan.device_channel_count;

  buffers.playback = allocate_staging_block(channels, playback_interleaved);
  buffers.playback_pointers.resize(static_cast<size_t>(channels));
  buffers.capture_pointers.resize(static_cast<size_t>(channels));
  buffers.capture = allocate_staging_block(channels, capture_interleaved);
  buffers.scratch.resize(channel_area_bytes);
  // Mapped rather than allocated, so that its zeros take no resident memory.
  buffers.silence.channel_count = channels;
  buffers.silence.interleaved = playback_interleaved;
  buffers.silence.bytes = map_zeroed(block_size(buffers.silence));
  if (buffers.silence.bytes == nullptr) fail(stdout, "%s", memory_message);

  buffers.ring_size = ring_size_for(settings.delay_seconds, settings.sample_rate);
  // Both rings are attempted before either is tested; track 2's is taken in
  // every mode.
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
  munmap(buffers.silence.bytes, block_size(buffers.silence));
  buffers.silence.bytes = nullptr;
  buffers.scratch = {};
}

void fill_transfer_pointers(const staging_block& block, size_t frame, std::vector<void*>& pointers) {
  for (int32_t channel = 0; channel < block.channel_count; ++channel) {
    pointers[static_cast<size_t>(channel)] = channel_area(block, channel, frame);
  }
}

// Both split at the end of the ring, which falls between two samples in any
// ring this module allocates.
void ring_append(track_ring& ring, size_t at, const unsigned char* source, size_t stride, size_t n) {
  assert(at < ring.size && n <= ring.size);
  const size_t first = std::min(n, ring.size - at);
  gather(ring.bytes + at, source, stride, first);
  gather(ring.bytes, source + staged_offset(first, stride), stride, n - first);
}

void ring_extract(const track_ring& ring, size_t at, unsigned char* destination, size_t stride,
                  size_t n) {
  assert(at < ring.size && n <= ring.size);
  const size_t first = std::min(n, ring.size - at);
  scatter(destination, stride, ring.bytes + at, first);
  scatter(destination + staged_offset(first, stride), stride, ring.bytes, n - first);
}

void ring_clear(track_ring& ring, size_t at, size_t n) {
  assert(at < ring.size && n <= ring.size);
  const size_t first = std::min(n, ring.size - at);
  std::memset(ring.bytes + at, 0, first);
  std::memset(ring.bytes, 0, n - first);
}

void ring_move(track_ring& ring, size_t from, size_t to, size_t n, bool later,
               unsigned char* scratch, size_t scratch_size) {
  size_t done = 0;
  while (done < n) {
    const size_t piece = std::min(n - done, scratch_size);
    // Moved later, the bytes go from the end down, so that none is written
    // over before it has moved; moved earlier, from the start up.
    const size_t offset = later ? n - done - piece : done;
    ring_extract(ring, ring_advance(from, offset, ring.size), scratch, bytes_per_sample, piece);
    ring_append(ring, ring_advance(to, offset, ring.size), scratch, bytes_per_sample, piece);
    done += piece;
  }
}

size_t ring_advance(size_t at, size_t n, size_t N) {
  const size_t next = at + n;
  return next >= N ? next - N : next;
}
