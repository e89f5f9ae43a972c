// Throughput of one track through its delay ring, as the transfer loop drives
// it: each cycle appends a full block (4096 frames, 12288 bytes) delay_offset
// bytes ahead of the ring position, extracts the block at the ring position
// into a playback area and advances the position. Beside it, two plain
// memcpy's of the same bytes over the same memory, with no wrap handling at
// all: the most any ring code could do.
//
// The ring is the one of the default run: 3 s at 44100 frames per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/ring_buffer.h"

namespace {

constexpr uint32_t sample_rate = 44100;
constexpr float delay_seconds = 3.0f;
constexpr size_t block_bytes = channel_area_bytes;  // one full cycle of one track

// The memory of one track: a capture area, its ring, a playback area.
// The capture area holds a counting pattern so that nothing copies zeros only.
struct track_memory {
  size_t ring_size = ring_size_for(delay_seconds, sample_rate);
  size_t delay_offset = delay_offset_for(delay_seconds, sample_rate);
  std::vector<unsigned char> capture_area = std::vector<unsigned char>(block_bytes);
  std::vector<unsigned char> ring_bytes = std::vector<unsigned char>(ring_size);
  std::vector<unsigned char> playback_area = std::vector<unsigned char>(block_bytes);

  track_memory() {
    for (size_t i = 0; i < block_bytes; ++i) capture_area[i] = static_cast<unsigned char>(i * 7);
  }
};

void ring_cycle(benchmark::State& state) {
  track_memory memory;
  track_ring ring{memory.ring_bytes.data(), memory.ring_size};
  size_t position = 0;
  for (auto _ : state) {
    ring_append(ring, ring_advance(position, memory.delay_offset, memory.ring_size),
                memory.capture_area.data(), bytes_per_sample, block_bytes);
    ring_extract(ring, position, memory.playback_area.data(), bytes_per_sample, block_bytes);
    benchmark::DoNotOptimize(memory.playback_area.data());
    benchmark::ClobberMemory();
    position = ring_advance(position, block_bytes, memory.ring_size);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block_bytes));
  state.counters["ring_size"] = static_cast<double>(memory.ring_size);
  state.counters["delay_offset"] = static_cast<double>(memory.delay_offset);
}

void two_memcpys(benchmark::State& state) {
  track_memory memory;
  unsigned char* ring = memory.ring_bytes.data();
  // Positions are kept where a whole block fits, so no copy is ever split.
  const size_t positions = memory.ring_size - block_bytes;
  size_t position = 0;
  for (auto _ : state) {
    const size_t delayed = (position + memory.delay_offset) % positions;
    std::memcpy(ring + delayed, memory.capture_area.data(), block_bytes);
    std::memcpy(memory.playback_area.data(), ring + position, block_bytes);
    benchmark::DoNotOptimize(memory.playback_area.data());
    benchmark::ClobberMemory();
    position += block_bytes;
    if (position >= positions) position -= positions;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block_bytes));
}

constexpr double minimum_seconds = 0.5;
constexpr int repetitions = 5;

}  // namespace

BENCHMARK(ring_cycle)->MinTime(minimum_seconds)->Repetitions(repetitions)->ReportAggregatesOnly(true);
BENCHMARK(two_memcpys)->MinTime(minimum_seconds)->Repetitions(repetitions)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
