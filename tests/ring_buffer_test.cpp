// Tests of the staging blocks and delay rings: ring sizes and delay offsets for
// chosen rates and delays, every ring operation against a byte-by-byte model
// (exhaustively on a 21-byte ring), a whole stream pushed through the rings,
// what allocate_buffers hands out, and the memory refusal of the real program.
#include "engine/ring_buffer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "settings/routing_plan.h"
#include "settings/run_settings.h"
#include "support/run_program.h"

namespace {

constexpr const char* memory_line = "Cannot allocate enough memory.  Try reducing delay time.\n";

// AddressSanitizer reserves far more address space than any limit below.
#ifdef QUAVELOR_SANITIZED
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif

// ---------------------------------------------------------------------------
// Hand-made rings.

// Bytes kept on either side of a hand-made ring, to catch writes past its ends.
constexpr size_t guard_bytes = 64;
constexpr unsigned char guard_value = 0xEE;

// Ring sizes are whole samples of any number: neither of these is a power of
// two.
constexpr size_t small_ring = 21;
constexpr size_t page_ring = 4500;

// A byte pattern with no short period, so that a byte copied from or to the
// wrong place shows up whatever the distance.
unsigned char pattern_byte(uint32_t seed, size_t index) {
  uint32_t mixed = static_cast<uint32_t>(index) * 2654435761u + seed * 40503u;
  mixed ^= mixed >> 15;
  return static_cast<unsigned char>(mixed * 2246822519u >> 24);
}

std::vector<unsigned char> pattern(uint32_t seed, size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = pattern_byte(seed, i);
  return bytes;
}

// A ring of `size` bytes over storage of its own, guarded on both sides.
struct guarded_ring {
  std::vector<unsigned char> storage;
  track_ring ring;

  guarded_ring(size_t size, const std::vector<unsigned char>& contents)
      : storage(size + 2 * guard_bytes, guard_value), ring{storage.data() + guard_bytes, size} {
    std::copy(contents.begin(), contents.end(), ring.bytes);
  }
  guarded_ring(const guarded_ring&) = delete;
  guarded_ring& operator=(const guarded_ring&) = delete;

  std::vector<unsigned char> contents() const {
    return std::vector<unsigned char>(ring.bytes, ring.bytes + ring.size);
  }
  bool guards_intact() const {
    const auto is_guard = [](unsigned char byte) { return byte == guard_value; };
    return std::all_of(storage.begin(), storage.begin() + guard_bytes, is_guard) &&
           std::all_of(storage.end() - guard_bytes, storage.end(), is_guard);
  }
};

// The meaning of the two ring operations, one byte at a time: ring byte i
// after W is byte i % 3 of sample i / 3, which lies `stride` bytes after the
// sample before it in the staging block.
size_t staged(size_t i, size_t stride) { return i / bytes_per_sample * stride + i % bytes_per_sample; }

void model_append(std::vector<unsigned char>& ring, size_t W, const unsigned char* source,
                  size_t stride, size_t n) {
  for (size_t i = 0; i < n; ++i) ring[(W + i) % ring.size()] = source[staged(i, stride)];
}

void model_extract(const std::vector<unsigned char>& ring, size_t W, unsigned char* destination,
                   size_t stride, size_t n) {
  for (size_t i = 0; i < n; ++i) destination[staged(i, stride)] = ring[(W + i) % ring.size()];
}

// The index of the first byte where two byte strings differ, or -1, so that a
// failure names the place instead of dumping thousands of bytes.
long first_difference(const std::vector<unsigned char>& actual,
                      const std::vector<unsigned char>& expected) {
  if (actual.size() != expected.size())
    return static_cast<long>(std::min(actual.size(), expected.size()));
  const auto found = std::mismatch(actual.begin(), actual.end(), expected.begin());
  return found.first == actual.end() ? -1 : static_cast<long>(found.first - actual.begin());
}

// Appends n pattern bytes at W of a patterned ring of N bytes, from samples
// `stride` bytes apart, and checks the whole ring and its guards against the
// model.
void check_append(size_t N, size_t W, size_t n, size_t stride = bytes_per_sample) {
  const std::vector<unsigned char> before = pattern(1, N);
  const std::vector<unsigned char> source = pattern(2, staged(n, stride));
  guarded_ring ring(N, before);
  ring_append(ring.ring, W, source.data(), stride, n);

  std::vector<unsigned char> expected = before;
  model_append(expected, W, source.data(), stride, n);
  const std::string where = "N=" + std::to_string(N) + " W=" + std::to_string(W) +
                            " n=" + std::to_string(n) + " stride=" + std::to_string(stride);
  EXPECT_EQ(first_difference(ring.contents(), expected), -1) << where;
  EXPECT_TRUE(ring.guards_intact()) << where;
}

void check_extract(size_t N, size_t W, size_t n, size_t stride = bytes_per_sample) {
  const std::vector<unsigned char> contents = pattern(3, N);
  guarded_ring ring(N, contents);
  // The destination is a staging area with guard bytes of its own between
  // the samples (other channels') and after them.
  std::vector<unsigned char> destination(staged(n, stride) + guard_bytes, guard_value);
  ring_extract(ring.ring, W, destination.data(), stride, n);

  std::vector<unsigned char> expected(destination.size(), guard_value);
  model_extract(contents, W, expected.data(), stride, n);
  const std::string where = "N=" + std::to_string(N) + " W=" + std::to_string(W) +
                            " n=" + std::to_string(n) + " stride=" + std::to_string(stride);
  EXPECT_EQ(first_difference(destination, expected), -1) << where;
  EXPECT_EQ(ring.contents(), contents) << "the ring read from changed";
  EXPECT_TRUE(ring.guards_intact());
}

// Every position and length of a small ring, for consecutive samples and
// for samples of one channel of four interleaved (whole samples only).
template <typename check>
void for_every_position_and_length(check each) {
  for (const size_t stride : {bytes_per_sample, 4 * bytes_per_sample}) {
    for (size_t W = 0; W < small_ring; ++W) {
      for (size_t n = 0; n <= small_ring; ++n) {
        if (stride == bytes_per_sample || (W % bytes_per_sample == 0 && n % bytes_per_sample == 0)) {
          each(small_ring, W, n, stride);
        }
      }
    }
  }
}



// ---------------------------------------------------------------------------
// Audio as a counter per sample, 24-bit little-endian, so that every played
// sample names the captured sample it came from.

void put_counter_samples(unsigned char* bytes, uint32_t first_sample, size_t sample_count,
                         uint32_t track_mark) {
  for (size_t s = 0; s < sample_count; ++s) {
    const uint32_t value = (first_sample + static_cast<uint32_t>(s)) ^ track_mark;
    bytes[3 * s] = static_cast<unsigned char>(value);
    bytes[3 * s + 1] = static_cast<unsigned char>(value >> 8);
    bytes[3 * s + 2] = static_cast<unsigned char>(value >> 16);
  }
}

size_t nonzero_byte_count(const unsigned char* bytes, size_t size) {
  return static_cast<size_t>(
      std::count_if(bytes, bytes + size, [](unsigned char b) { return b != 0; }));
}

size_t resident_page_count(const void* start, size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> residency((size + page - 1) / page);
  if (mincore(const_cast<void*>(start), size, residency.data()) != 0) return SIZE_MAX;
  return static_cast<size_t>(std::count_if(residency.begin(), residency.end(),
                                           [](unsigned char r) { return (r & 1) != 0; }));
}

run_settings settings_for(float delay_seconds, uint32_t sample_rate) {
  run_settings settings;
  settings.device_name = "quavelor_file";
  settings.delay_seconds = delay_seconds;
  settings.sample_rate = sample_rate;
  return settings;
}

// The status lines the program writes before it opens the device, for mode 1
// with channels 1 and 1.
std::string mode_1_status_lines(const char* delay_echo, const char* rate, const char* timeout) {
  return std::string(
             "Device = quavelor_file\n"
             "Mode = 1 (mono in -> mono out)\n"
             "Input Channel = 1\n"
             "Output Channel = 1\n") +
         "Time delay ~ " + delay_echo + " sec\n" + "Sample rate = " + rate + "\n" + "Time out at " +
         timeout + " sec\n";
}

// A folder with a few KB of capture input for the file-backed test device.
std::string device_folder() {
  const std::string folder = make_temporary_folder();
  write_file(folder + "/in.raw", std::string(8 * 1024, '\x11'));
  return folder;
}

// Limits this process's address space to what it maps now plus `spare`
// bytes and calls allocate_buffers, with standard output sent to standard
// error (where a death test looks for the message).
void allocate_with_address_space_to_spare(const run_settings& settings, const routing_plan& plan,
                                          size_t spare) {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  std::ifstream statm("/proc/self/statm");
  size_t mapped_pages = 0;
  statm >> mapped_pages;
  const rlim_t limit = mapped_pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + spare;
  const rlimit address_space{limit, limit};
  setrlimit(RLIMIT_AS, &address_space);
  allocate_buffers(settings, plan);
}

}  // namespace

// ---------------------------------------------------------------------------
// Ring size

// Rings grow in steps of three pages: whole pages, and whole samples.
constexpr size_t ring_step = 3 * 4096;

TEST(ring_size, is_the_delay_plus_one_block_in_steps_of_three_pages) {
  ASSERT_EQ(sysconf(_SC_PAGESIZE), 4096);
  // 3 s at 44100 is 396900 bytes; with a block, 409188: 34 steps (417792).
  EXPECT_EQ(ring_size_for(3.0f, 44100), size_t{417792});
  // No delay: the block alone, exactly one step.
  EXPECT_EQ(ring_size_for(0.0f, 44100), size_t{12288});
  EXPECT_EQ(ring_size_for(0.0f, 32000), size_t{12288});
  // 600 s at 44100: 79380000 + 12288 bytes, rounded up to 6461 steps.
  EXPECT_EQ(ring_size_for(600.0f, 44100), size_t{79392768});
  // A need of exactly whole steps is not rounded further: 4096 frames are
  // one step, and with the block two.
  EXPECT_EQ(ring_size_for(1.0f, 4096), size_t{24576});
}

TEST(ring_size, holds_the_delay_and_a_block_and_wastes_less_than_a_step_for_every_rate_and_delay) {
  std::mt19937 generator(20240601);
  std::uniform_real_distribution<float> delays(0.0f, 600.0f);
  std::uniform_int_distribution<uint32_t> rates(32000, 2147483647);
  for (int sample = 0; sample < 20000; ++sample) {
    const float delay = delays(generator);
    const uint32_t rate = sample % 2 == 0 ? 44100 : rates(generator);
    const size_t N = ring_size_for(delay, rate);
    const size_t needed = delay_offset_for(delay, rate) + channel_area_bytes;
    ASSERT_EQ(N % ring_step, 0u) << delay << " s at " << rate;
    ASSERT_GE(N, needed) << delay << " s at " << rate;
    ASSERT_LT(N - needed, ring_step) << delay << " s at " << rate;
  }
}

// ---------------------------------------------------------------------------
// Delay offset

TEST(delay_offset, no_delay_is_zero) {
  EXPECT_EQ(delay_offset_for(0.0f, 44100), 0u);
  EXPECT_EQ(delay_offset_for(0.0f, 2147483647), 0u);
}

TEST(delay_offset, default_delay_at_44100_is_three_seconds_of_samples) {
  EXPECT_EQ(delay_offset_for(3.0f, 44100), size_t{3 * 44100 * 3});
}

TEST(delay_offset, a_fractional_delay_is_cut_to_whole_frames) {
  // 1.234 s at 44100 is 54419.4 frames: 54419 whole frames, 163257 bytes
  // (cutting the byte count instead would give 163258, splitting a sample).
  EXPECT_EQ(delay_offset_for(1.234f, 44100), size_t{163257});
  EXPECT_EQ(delay_offset_for(1.234f, 44100) % 3, 0u);
  // Less than one frame is no delay at all.
  EXPECT_EQ(delay_offset_for(0.00002f, 44100), 0u);
}

TEST(delay_offset, is_whole_frames_within_the_ring_for_every_rate_and_delay) {
  const uint32_t chosen_rates[] = {32000,  44100,  48000,   88200,      96000,     176400,
                                   192000, 384000, 1000000, 2000000000, 2147483647};
  const float chosen_delays[] = {0.0f,  0.001f, 0.1f,  0.5f,   1.0f,   1.234f,   2.5f,  3.0f,
                                 7.77f, 10.0f,  59.9f, 100.0f, 333.3f, 599.999f, 600.0f};
  std::vector<std::pair<uint32_t, float>> cases;
  for (uint32_t rate : chosen_rates) {
    for (float delay : chosen_delays) cases.emplace_back(rate, delay);
  }
  std::mt19937 generator(7);
  std::uniform_real_distribution<float> delays(0.0f, 600.0f);
  std::uniform_int_distribution<uint32_t> rates(32000, 2147483647);
  for (int sample = 0; sample < 20000; ++sample)
    cases.emplace_back(rates(generator), delays(generator));

  for (const auto& [rate, delay] : cases) {
    const size_t D = delay_offset_for(delay, rate);
    const size_t N = ring_size_for(delay, rate);
    const float frames = static_cast<float>(rate) * delay;
    ASSERT_EQ(D, static_cast<size_t>(std::trunc(frames)) * 3) << delay << " s at " << rate;
    ASSERT_EQ(D % 3, 0u) << delay << " s at " << rate;
    ASSERT_LT(D, N) << delay << " s at " << rate;
    ASSERT_GE(N - D, channel_area_bytes) << delay << " s at " << rate;
  }
}

// ---------------------------------------------------------------------------
// Ring position

TEST(ring_advance, moves_on_within_the_ring_and_wraps_at_its_end) {
  EXPECT_EQ(ring_advance(100, 300, page_ring), 400u);
  EXPECT_EQ(ring_advance(page_ring - 300, 300, page_ring), 0u);
  EXPECT_EQ(ring_advance(page_ring - 100, 300, page_ring), 200u);
  for (size_t W = 0; W < small_ring; ++W) {
    for (size_t n = 0; n <= small_ring; ++n) {
      EXPECT_EQ(ring_advance(W, n, small_ring), (W + n) % small_ring) << "W=" << W << " n=" << n;
    }
  }
}

// ---------------------------------------------------------------------------
// Append

TEST(ring_append, without_a_wrap_writes_only_its_range) { check_append(page_ring, 100, 300); }

TEST(ring_append, ending_exactly_at_the_end_stays_in_one_piece_and_position_returns_to_0) {
  const size_t W = page_ring - 300;
  const std::vector<unsigned char> before = pattern(1, page_ring);
  const std::vector<unsigned char> source = pattern(2, 300);
  guarded_ring ring(page_ring, before);
  ring_append(ring.ring, W, source.data(), bytes_per_sample, 300);

  EXPECT_TRUE(std::equal(source.begin(), source.end(), ring.ring.bytes + W));
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + W, ring.ring.bytes))
      << "bytes before W, byte 0 included, changed";
  EXPECT_TRUE(ring.guards_intact());
  EXPECT_EQ(ring_advance(W, 300, page_ring), 0u);
}

TEST(ring_append, crossing_the_end_continues_at_0) {
  const size_t W = page_ring - 100;
  const std::vector<unsigned char> before = pattern(1, page_ring);
  const std::vector<unsigned char> source = pattern(2, 300);
  guarded_ring ring(page_ring, before);
  ring_append(ring.ring, W, source.data(), bytes_per_sample, 300);

  EXPECT_TRUE(std::equal(source.begin(), source.begin() + 100, ring.ring.bytes + W));
  EXPECT_TRUE(std::equal(source.begin() + 100, source.end(), ring.ring.bytes));
  EXPECT_TRUE(std::equal(before.begin() + 200, before.begin() + W, ring.ring.bytes + 200));
  EXPECT_TRUE(ring.guards_intact());
  check_append(page_ring, W, 300);
}

TEST(ring_append, matches_the_model_for_every_position_and_length) {
  for_every_position_and_length(check_append);
}

// ---------------------------------------------------------------------------
// Extract

TEST(ring_extract, without_a_wrap_reads_only_its_range) { check_extract(page_ring, 100, 300); }

TEST(ring_extract, ending_exactly_at_the_end_reads_up_to_the_last_byte) {
  const size_t W = page_ring - 300;
  const std::vector<unsigned char> contents = pattern(3, page_ring);
  guarded_ring ring(page_ring, contents);
  std::vector<unsigned char> destination(300 + guard_bytes, guard_value);
  ring_extract(ring.ring, W, destination.data(), bytes_per_sample, 300);

  EXPECT_TRUE(std::equal(contents.begin() + W, contents.end(), destination.begin()));
  EXPECT_TRUE(std::all_of(destination.begin() + 300, destination.end(),
                          [](unsigned char b) { return b == guard_value; }));
  EXPECT_EQ(ring_advance(W, 300, page_ring), 0u);
}

TEST(ring_extract, crossing_the_end_continues_from_0) {
  const size_t W = page_ring - 100;
  const std::vector<unsigned char> contents = pattern(3, page_ring);
  guarded_ring ring(page_ring, contents);
  std::vector<unsigned char> destination(300);
  ring_extract(ring.ring, W, destination.data(), bytes_per_sample, 300);

  EXPECT_TRUE(std::equal(contents.begin() + W, contents.end(), destination.begin()));
  EXPECT_TRUE(std::equal(contents.begin(), contents.begin() + 200, destination.begin() + 100));
  check_extract(page_ring, W, 300);
}

TEST(ring_extract, matches_the_model_for_every_position_and_length) {
  for_every_position_and_length(check_extract);
}

// ---------------------------------------------------------------------------
// A whole stream through a ring, cycle by cycle as the transfer loop moves it:
// append D bytes ahead of the read position, extract at it, advance it.

// Pushes counter samples through `ring` in cycles of `cycle_frames` (taken in
// turn) until `total_bytes` have been played, and checks that the played
// stream is the captured one moved back by D bytes, after D bytes of silence.
void check_stream(track_ring& ring, size_t D, const std::vector<size_t>& cycle_frames,
                  size_t total_bytes, uint32_t track_mark) {
  const size_t N = ring.size;
  std::vector<unsigned char> captured;
  std::vector<unsigned char> played;
  std::vector<unsigned char> area(channel_area_bytes);
  size_t W = 0;
  uint32_t next_sample = 0;
  for (size_t cycle = 0; played.size() < total_bytes; ++cycle) {
    const size_t frames = cycle_frames[cycle % cycle_frames.size()];
    const size_t n = frames * bytes_per_sample;
    put_counter_samples(area.data(), next_sample, frames, track_mark);
    captured.insert(captured.end(), area.begin(), area.begin() + static_cast<long>(n));
    ring_append(ring, ring_advance(W, D, N), area.data(), bytes_per_sample, n);
    ring_extract(ring, W, area.data(), bytes_per_sample, n);
    played.insert(played.end(), area.begin(), area.begin() + static_cast<long>(n));
    W = ring_advance(W, n, N);
    next_sample += static_cast<uint32_t>(frames);
  }
  ASSERT_GE(played.size(), D);
  EXPECT_EQ(nonzero_byte_count(played.data(), D), 0u) << "the first D bytes are not silence";
  const std::vector<unsigned char> delayed(played.begin() + static_cast<long>(D), played.end());
  const std::vector<unsigned char> expected(captured.begin(),
                                            captured.begin() + static_cast<long>(delayed.size()));
  EXPECT_EQ(first_difference(delayed, expected), -1);
}

struct stream_case {
  const char* name;
  float delay_seconds;
  uint32_t sample_rate;
};

void PrintTo(const stream_case& c, std::ostream* out) { *out << c.name; }

class track_rings : public testing::TestWithParam<stream_case> {};

TEST_P(track_rings, carry_each_track_D_bytes_late_after_D_bytes_of_silence) {
  const run_settings settings = settings_for(GetParam().delay_seconds, GetParam().sample_rate);
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 0, 0);
  audio_buffers buffers = allocate_buffers(settings, plan);
  const size_t N = buffers.ring_size;
  const size_t D = buffers.delay_offset;
  // Full blocks and odd short ones, until the stream has gone twice round
  // the ring beyond the delay; the two tracks carry different samples.
  const std::vector<size_t> cycle_frames = {4096, 4096, 1, 4095, 1000, 3, 4096, 2048, 17};
  for (int t = 0; t < max_track_count; ++t) {
    SCOPED_TRACE(t == 0 ? "track 1" : "track 2");
    check_stream(buffers.rings[t], D, cycle_frames, D + 2 * N + channel_area_bytes,
                 t == 0 ? 0x000000 : 0x5A5A5A);
  }
  free_buffers(buffers);
}

INSTANTIATE_TEST_SUITE_P(delays, track_rings,
                         testing::Values(stream_case{"default_delay_at_44100", 3.0f, 44100},
                                         stream_case{"fractional_delay_at_44100", 1.234f, 44100},
                                         stream_case{"no_delay_at_48000", 0.0f, 48000},
                                         stream_case{"less_than_a_block_at_32000", 0.1f, 32000}),
                         [](const testing::TestParamInfo<stream_case>& info) {
                           return std::string(info.param.name);
                         });

TEST(track_ring_wraps, at_a_size_that_is_no_power_of_two_writes_end_at_and_cross_the_end) {
  // N = 4500 and D = 4200: the first write, 100 frames at 4200, ends exactly
  // at the end; the next starts at 0, as the write position D ahead of 300
  // crosses the end; 37-frame cycles then end and start mid-byte-run across
  // it.
  constexpr size_t D = 4200;
  guarded_ring ring(page_ring, std::vector<unsigned char>(page_ring, 0));
  check_stream(ring.ring, D, {100, 100, 37, 100, 1, 63}, D + 3 * page_ring, 0x123456);
  EXPECT_TRUE(ring.guards_intact());
}

TEST(track_ring_wraps, with_no_delay_a_cycle_plays_what_it_has_just_written) {
  guarded_ring ring(page_ring, pattern(6, page_ring));
  check_stream(ring.ring, 0, {100, 1500, 1, 37}, 3 * page_ring, 0x00ABCD);
  EXPECT_TRUE(ring.guards_intact());
}

// ---------------------------------------------------------------------------
// allocate_buffers and free_buffers

struct layout_case {
  const char* name;
  routing_mode mode;
  int32_t input_index;
  int32_t output_index;
  int32_t channel_count;
};

void PrintTo(const layout_case& c, std::ostream* out) { *out << c.name; }

class buffer_layout : public testing::TestWithParam<layout_case> {};

TEST_P(buffer_layout, follows_the_device_channel_count_with_everything_zero) {
  const layout_case& c = GetParam();
  const routing_plan plan = derive_routing_plan(c.mode, c.input_index, c.output_index);
  ASSERT_EQ(plan.device_channel_count, c.channel_count);
  const size_t block_bytes = static_cast<size_t>(c.channel_count) * channel_area_bytes;

  // Hand back a dirty block of the staging size first, so that the zeros
  // checked below are the allocator's doing only if it zero-fills. The empty
  // assembly statement keeps the compiler from dropping the dirty block as
  // unused.
  void* dirty = std::malloc(block_bytes);
  std::memset(dirty, 0xA5, block_bytes);
  asm volatile("" : : "r"(dirty) : "memory");
  std::free(dirty);

  audio_buffers buffers = allocate_buffers(settings_for(3.0f, 44100), plan);

  EXPECT_EQ(buffers.playback.channel_count, c.channel_count);
  EXPECT_EQ(buffers.capture.channel_count, c.channel_count);
  EXPECT_EQ(buffers.playback_pointers.size(), static_cast<size_t>(c.channel_count));
  EXPECT_EQ(buffers.capture_pointers.size(), static_cast<size_t>(c.channel_count));
  ASSERT_NE(buffers.playback.bytes, nullptr);
  ASSERT_NE(buffers.capture.bytes, nullptr);
  EXPECT_EQ(nonzero_byte_count(buffers.playback.bytes, block_bytes), 0u);
  EXPECT_EQ(nonzero_byte_count(buffers.capture.bytes, block_bytes), 0u);

  EXPECT_EQ(buffers.ring_size, size_t{417792});
  for (int r = 0; r < max_track_count; ++r) {
    SCOPED_TRACE(r);
    ASSERT_NE(buffers.rings[r].bytes, nullptr);
    EXPECT_EQ(buffers.rings[r].size, size_t{417792});
    EXPECT_EQ(nonzero_byte_count(buffers.rings[r].bytes, buffers.rings[r].size), 0u);
  }
  EXPECT_EQ(buffers.delay_offset, size_t{3 * 44100 * 3});

  // Every byte of both blocks is usable (the sanitizer build checks the bounds).
  buffers.playback.bytes[block_bytes - 1] = 1;
  buffers.capture.bytes[block_bytes - 1] = 1;
  free_buffers(buffers);
}

INSTANTIATE_TEST_SUITE_P(
    modes, buffer_layout,
    testing::Values(layout_case{"mode_1_channels_1_1", routing_mode::mono_to_one, 0, 0, 2},
                    layout_case{"mode_1_channels_3_1", routing_mode::mono_to_one, 2, 0, 4},
                    layout_case{"mode_2_channels_1_3", routing_mode::stereo_to_stereo, 0, 2, 4},
                    layout_case{"mode_2_channels_4_1", routing_mode::stereo_to_stereo, 3, 0, 6},
                    layout_case{"mode_3_channels_2_1", routing_mode::mono_to_both, 1, 0, 4},
                    layout_case{"mode_3_channels_1_2", routing_mode::mono_to_both, 0, 1, 4},
                    layout_case{"mode_2_channels_256_256", routing_mode::stereo_to_stereo, 255, 255,
                                258}),
    [](const testing::TestParamInfo<layout_case>& info) { return std::string(info.param.name); });

TEST(allocate_buffers, sizes_and_offsets_follow_the_rate_and_delay) {
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_one, 0, 0);
  struct expectation {
    float delay_seconds;
    uint32_t sample_rate;
    size_t ring_size;
    size_t delay_offset;
  };
  const expectation expectations[] = {
      {0.0f, 44100, 12288, 0},
      {0.0f, 32000, 12288, 0},
      {1.234f, 44100, 184320, 163257},  // 163257 + 12288 bytes in 15 steps
      {600.0f, 44100, 79392768, size_t{600} * 44100 * 3},
  };
  for (const expectation& e : expectations) {
    SCOPED_TRACE(testing::Message() << e.delay_seconds << " s at " << e.sample_rate);
    audio_buffers buffers = allocate_buffers(settings_for(e.delay_seconds, e.sample_rate), plan);
    EXPECT_EQ(buffers.ring_size, e.ring_size);
    EXPECT_EQ(buffers.delay_offset, e.delay_offset);
    for (const track_ring& ring : buffers.rings) EXPECT_EQ(ring.size, e.ring_size);
    free_buffers(buffers);
  }
}

TEST(allocate_buffers, rings_take_no_resident_memory_until_written) {
  // The longest delay at 44100: two 76 MiB rings, none of it resident.
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_one, 0, 0);
  audio_buffers buffers = allocate_buffers(settings_for(600.0f, 44100), plan);
  for (const track_ring& ring : buffers.rings) {
    EXPECT_EQ(resident_page_count(ring.bytes, ring.size), 0u);
  }
  // A written byte makes its own page resident, and no other ring's.
  track_ring& written = buffers.rings[0];
  written.bytes[written.size / 2] = 1;
  EXPECT_EQ(resident_page_count(written.bytes, written.size), 1u);
  EXPECT_EQ(resident_page_count(buffers.rings[1].bytes, buffers.rings[1].size), 0u);
  free_buffers(buffers);
}

TEST(free_buffers, gives_every_ring_back_to_the_system) {
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 0, 0);
  audio_buffers buffers = allocate_buffers(settings_for(3.0f, 44100), plan);
  track_ring rings[max_track_count];
  std::copy(std::begin(buffers.rings), std::end(buffers.rings), rings);
  free_buffers(buffers);

  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  unsigned char residency = 0;
  for (const track_ring& ring : rings) {
    // mincore refuses an address range that is no longer mapped.
    errno = 0;
    EXPECT_EQ(mincore(ring.bytes, page, &residency), -1);
    EXPECT_EQ(errno, ENOMEM);
  }
  for (const track_ring& ring : buffers.rings) EXPECT_EQ(ring.bytes, nullptr);
  EXPECT_EQ(buffers.playback.bytes, nullptr);
  EXPECT_EQ(buffers.capture.bytes, nullptr);
}

TEST(fill_transfer_pointers, points_each_channel_at_its_area_at_the_staging_position) {
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 3, 0);
  audio_buffers buffers = allocate_buffers(settings_for(0.0f, 44100), plan);
  ASSERT_EQ(buffers.playback.channel_count, 6);
  for (size_t position : {size_t{0}, size_t{1}, size_t{2048}, frames_per_block - 1}) {
    fill_transfer_pointers(buffers.playback, position, buffers.playback_pointers);
    fill_transfer_pointers(buffers.capture, position, buffers.capture_pointers);
    for (size_t c = 0; c < 6; ++c) {
      SCOPED_TRACE(testing::Message() << "channel " << c << " frame " << position);
      EXPECT_EQ(buffers.playback_pointers[c], buffers.playback.bytes + 3 * (c * 4096 + position));
      EXPECT_EQ(buffers.capture_pointers[c], buffers.capture.bytes + 3 * (c * 4096 + position));
    }
  }
  free_buffers(buffers);
}

// ---------------------------------------------------------------------------
// Memory refusals

TEST(memory_refusal, a_staging_block_that_cannot_be_allocated_refuses_with_the_memory_message) {
  if (sanitized_build) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  // The child starts afresh, so no free heap memory is left over from other
  // tests to serve the block from.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // 258 channels make 3 MiB staging blocks; 1 MiB of address space to spare
  // holds the two 12 KiB rings of no delay but not one block, so only a
  // staging block can be what fails.
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 255, 255);
  const run_settings settings = settings_for(0.0f, 32000);
  EXPECT_EXIT(allocate_with_address_space_to_spare(settings, plan, 1u << 20),
              testing::ExitedWithCode(1),
              testing::Matcher<const std::string&>(std::string(memory_line)));
}

TEST(memory_refusal, rings_beyond_the_address_space_limit_refuse_with_the_memory_message) {
  if (sanitized_build) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  // 256 MiB lies well inside the window that works: opening the device takes
  // up to about 84 MiB of address space (a sound-server client loaded by the
  // library's configuration hooks maps a 64 MiB pool for a moment), about 20
  // MiB remain in use once it is open, and the longest delay at 96000 adds
  // two rings of 165 MiB, which a limit of about 350 MiB would still allow.
  const std::string limit = "--as=" + std::to_string(256u << 20);
  const std::string folder = device_folder();

  const program_result refused =
      run_program("/usr/bin/prlimit",
                  {limit, QUAVELOR_BINARY, "quavelor_file", "1", "1", "1", "600", "96000", "0"},
                  test_device_environment(folder));
  EXPECT_EQ(refused.out, mode_1_status_lines("600.000", "96000", "0") + memory_line);
  EXPECT_EQ(refused.err, "");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.signal, 0);

  // Under the same limit a short delay runs: the limit leaves room for the
  // device, so the refusal above is the rings'.
  const program_result ran =
      run_program("/usr/bin/prlimit",
                  {limit, QUAVELOR_BINARY, "quavelor_file", "1", "1", "1", "0", "96000", "0"},
                  test_device_environment(folder));
  EXPECT_EQ(ran.out.find(memory_line), std::string::npos);
  EXPECT_EQ(ran.err, "");
  EXPECT_EQ(ran.exit_code, 0);
}

TEST(memory_refusal, rings_larger_than_any_machine_refuse_with_the_memory_message) {
  // 600 s at 2000000000 frames per second: two rings of 3.6 TB. A
  // kernel that grants every mapping whatever its size would hand them out.
  std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
  int overcommit_mode = 0;
  overcommit >> overcommit_mode;
  if (overcommit_mode == 1) GTEST_SKIP() << "the kernel is set to grant any mapping";

  const std::string folder = device_folder();
  const program_result result = run_quavelor(
      {"quavelor_file", "1", "1", "1", "600", "2000000000", "0"}, test_device_environment(folder));
  EXPECT_EQ(result.out, mode_1_status_lines("600.000", "2000000000", "0") + memory_line);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 1);
}
