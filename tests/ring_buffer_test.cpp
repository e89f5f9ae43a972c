// Tests of the staging blocks and delay rings: ring sizes and delay offsets for
// chosen rates and delays, every ring operation against a byte-by-byte model
// (exhaustively on a 16-byte ring), a whole stream pushed through the rings,
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

// The meaning of the three ring operations, one byte at a time.
void model_append(std::vector<unsigned char>& ring, size_t W, const unsigned char* source,
                  size_t n) {
  for (size_t i = 0; i < n; ++i) ring[(W + i) % ring.size()] = source[i];
}

void model_delay_copy(const std::vector<unsigned char>& input, std::vector<unsigned char>& output,
                      size_t W, size_t D, size_t n) {
  const size_t N = input.size();
  for (size_t i = 0; i < n; ++i) output[(W + D + i) % N] = input[(W + i) % N];
}

void model_extract(const std::vector<unsigned char>& ring, size_t W, unsigned char* destination,
                   size_t n) {
  for (size_t i = 0; i < n; ++i) destination[i] = ring[(W + i) % ring.size()];
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

// Appends n pattern bytes at W of a patterned ring of N bytes and checks the
// whole ring and its guards against the model.
void check_append(size_t N, size_t W, size_t n) {
  const std::vector<unsigned char> before = pattern(1, N);
  const std::vector<unsigned char> source = pattern(2, n);
  guarded_ring ring(N, before);
  ring_append(ring.ring, W, source.data(), n);

  std::vector<unsigned char> expected = before;
  model_append(expected, W, source.data(), n);
  EXPECT_EQ(first_difference(ring.contents(), expected), -1)
      << "N=" << N << " W=" << W << " n=" << n;
  EXPECT_TRUE(ring.guards_intact()) << "N=" << N << " W=" << W << " n=" << n;
}

void check_extract(size_t N, size_t W, size_t n) {
  const std::vector<unsigned char> contents = pattern(3, N);
  guarded_ring ring(N, contents);
  // The destination is a channel area with guard bytes of its own after the n.
  std::vector<unsigned char> destination(n + guard_bytes, guard_value);
  ring_extract(ring.ring, W, destination.data(), n);

  std::vector<unsigned char> expected(n + guard_bytes, guard_value);
  model_extract(contents, W, expected.data(), n);
  EXPECT_EQ(first_difference(destination, expected), -1) << "N=" << N << " W=" << W << " n=" << n;
  EXPECT_EQ(ring.contents(), contents) << "the ring read from changed";
  EXPECT_TRUE(ring.guards_intact());
}

void check_delay_copy(size_t N, size_t W, size_t D, size_t n) {
  const std::vector<unsigned char> input_contents = pattern(4, N);
  const std::vector<unsigned char> output_before = pattern(5, N);
  guarded_ring input(N, input_contents);
  guarded_ring output(N, output_before);
  ring_delay_copy(input.ring, output.ring, W, D, n);

  std::vector<unsigned char> expected = output_before;
  model_delay_copy(input_contents, expected, W, D, n);
  EXPECT_EQ(first_difference(output.contents(), expected), -1)
      << "N=" << N << " W=" << W << " D=" << D << " n=" << n;
  EXPECT_EQ(input.contents(), input_contents) << "the input ring changed";
  EXPECT_TRUE(input.guards_intact() && output.guards_intact())
      << "N=" << N << " W=" << W << " D=" << D << " n=" << n;
}

constexpr size_t small_ring = 16;
constexpr size_t page_ring = 4096;

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

TEST(ring_size, default_delay_at_44100_takes_2_to_the_20) {
  EXPECT_EQ(ring_size_for(3.0f, 44100), size_t{1} << 20);
}

TEST(ring_size, no_delay_at_44100_takes_2_to_the_18) {
  EXPECT_EQ(ring_size_for(0.0f, 44100), size_t{1} << 18);
}

TEST(ring_size, no_delay_at_32000_takes_2_to_the_17) {
  EXPECT_EQ(ring_size_for(0.0f, 32000), size_t{1} << 17);
}

TEST(ring_size, longest_delay_at_44100_takes_2_to_the_27) {
  EXPECT_EQ(ring_size_for(600.0f, 44100), size_t{1} << 27);
}

TEST(ring_size, a_need_of_exactly_a_power_of_two_is_not_doubled) {
  // (1/3 + 1) s × 65536 × 3 is 2^18 in single precision: the ring is 2^18.
  // One frame per second more needs more than 2^18 and doubles it.
  EXPECT_EQ(ring_size_for(1.0f / 3.0f, 65536), size_t{1} << 18);
  EXPECT_EQ(ring_size_for(1.0f / 3.0f, 65537), size_t{1} << 19);
}

TEST(ring_size, is_computed_in_single_precision) {
  // 11184811 × 3 is 2^25 + 1, which single precision rounds to 2^25.
  EXPECT_EQ(ring_size_for(0.0f, 11184811), size_t{1} << 25);
}

TEST(ring_size, never_falls_below_4096_bytes) {
  // Unreachable from the command line (the lowest rate already needs 2^17),
  // but the floor holds for any rate.
  EXPECT_EQ(ring_size_for(0.0f, 0), size_t{4096});
  EXPECT_EQ(ring_size_for(0.0f, 1), size_t{4096});
  EXPECT_EQ(ring_size_for(0.0f, 1365), size_t{4096});  // 4095 bytes
  EXPECT_EQ(ring_size_for(0.0f, 1366), size_t{8192});  // 4098 bytes
}

TEST(ring_size, is_the_smallest_power_of_two_holding_one_second_more_than_the_delay) {
  std::mt19937 generator(20240601);
  std::uniform_real_distribution<float> delays(0.0f, 600.0f);
  std::uniform_int_distribution<uint32_t> rates(32000, 2147483647);
  for (int sample = 0; sample < 20000; ++sample) {
    const float delay = delays(generator);
    const uint32_t rate = sample % 2 == 0 ? 44100 : rates(generator);
    const size_t N = ring_size_for(delay, rate);
    const double needed = (static_cast<double>(delay) + 1.0) * rate * 3.0;
    ASSERT_EQ(N & (N - 1), 0u) << delay << " s at " << rate;
    // Single precision may be off by a few parts in ten million either way.
    ASSERT_GE(static_cast<double>(N), needed * (1.0 - 1e-6)) << delay << " s at " << rate;
    ASSERT_LT(static_cast<double>(N) / 2.0, needed * (1.0 + 1e-6)) << delay << " s at " << rate;
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
    // The ring holds a second of samples beyond the delay, less single
    // precision rounding: far more than one block of 12288 bytes.
    ASSERT_GE(N - D, channel_area_bytes) << delay << " s at " << rate;
    ASSERT_GE(static_cast<double>(N - D), 3.0 * rate * 0.999) << delay << " s at " << rate;
  }
}

// ---------------------------------------------------------------------------
// Ring position

TEST(ring_advance, moves_on_within_the_ring_and_wraps_at_its_end) {
  EXPECT_EQ(ring_advance(100, 300, page_ring), 400u);
  EXPECT_EQ(ring_advance(page_ring - 300, 300, page_ring), 0u);
  EXPECT_EQ(ring_advance(page_ring - 100, 300, page_ring), 200u);
  for (size_t W = 0; W < small_ring; ++W) {
    for (size_t n = 0; n < small_ring; ++n) {
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
  ring_append(ring.ring, W, source.data(), 300);

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
  ring_append(ring.ring, W, source.data(), 300);

  EXPECT_TRUE(std::equal(source.begin(), source.begin() + 100, ring.ring.bytes + W));
  EXPECT_TRUE(std::equal(source.begin() + 100, source.end(), ring.ring.bytes));
  EXPECT_TRUE(std::equal(before.begin() + 200, before.begin() + W, ring.ring.bytes + 200));
  EXPECT_TRUE(ring.guards_intact());
  check_append(page_ring, W, 300);
}

TEST(ring_append, matches_the_model_for_every_position_and_length) {
  for (size_t W = 0; W < small_ring; ++W) {
    for (size_t n = 0; n < small_ring; ++n) check_append(small_ring, W, n);
  }
}

// ---------------------------------------------------------------------------
// Extract

TEST(ring_extract, without_a_wrap_reads_only_its_range) { check_extract(page_ring, 100, 300); }

TEST(ring_extract, ending_exactly_at_the_end_reads_up_to_the_last_byte) {
  const size_t W = page_ring - 300;
  const std::vector<unsigned char> contents = pattern(3, page_ring);
  guarded_ring ring(page_ring, contents);
  std::vector<unsigned char> destination(300 + guard_bytes, guard_value);
  ring_extract(ring.ring, W, destination.data(), 300);

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
  ring_extract(ring.ring, W, destination.data(), 300);

  EXPECT_TRUE(std::equal(contents.begin() + W, contents.end(), destination.begin()));
  EXPECT_TRUE(std::equal(contents.begin(), contents.begin() + 200, destination.begin() + 100));
  check_extract(page_ring, W, 300);
}

TEST(ring_extract, matches_the_model_for_every_position_and_length) {
  for (size_t W = 0; W < small_ring; ++W) {
    for (size_t n = 0; n < small_ring; ++n) check_extract(small_ring, W, n);
  }
}

// ---------------------------------------------------------------------------
// Delayed copy

TEST(ring_delay_copy, zero_offset_copies_to_the_same_position) {
  const std::vector<unsigned char> input_contents = pattern(4, page_ring);
  const std::vector<unsigned char> output_before = pattern(5, page_ring);
  guarded_ring input(page_ring, input_contents);
  guarded_ring output(page_ring, output_before);
  ring_delay_copy(input.ring, output.ring, 1000, 0, 300);

  EXPECT_TRUE(std::equal(input_contents.begin() + 1000, input_contents.begin() + 1300,
                         output.ring.bytes + 1000));
  EXPECT_TRUE(std::equal(output_before.begin(), output_before.begin() + 1000, output.ring.bytes));
  EXPECT_TRUE(
      std::equal(output_before.begin() + 1300, output_before.end(), output.ring.bytes + 1300));
  check_delay_copy(page_ring, page_ring - 100, 0, 300);  // both crossing at the same byte
}

TEST(ring_delay_copy, without_a_wrap_copies_D_bytes_further_on) {
  const std::vector<unsigned char> input_contents = pattern(4, page_ring);
  guarded_ring input(page_ring, input_contents);
  guarded_ring output(page_ring, pattern(5, page_ring));
  ring_delay_copy(input.ring, output.ring, 100, 1000, 300);
  EXPECT_TRUE(std::equal(input_contents.begin() + 100, input_contents.begin() + 400,
                         output.ring.bytes + 1100));
  check_delay_copy(page_ring, 100, 1000, 300);
}

TEST(ring_delay_copy, an_offset_reaching_past_the_end_lands_from_the_start) {
  // 3000 + 2000 is 904 bytes into the next lap.
  const std::vector<unsigned char> input_contents = pattern(4, page_ring);
  guarded_ring input(page_ring, input_contents);
  guarded_ring output(page_ring, pattern(5, page_ring));
  ring_delay_copy(input.ring, output.ring, 3000, 2000, 300);
  EXPECT_TRUE(std::equal(input_contents.begin() + 3000, input_contents.begin() + 3300,
                         output.ring.bytes + 904));
  check_delay_copy(page_ring, 3000, 2000, 300);
}

TEST(ring_delay_copy, a_destination_crossing_the_end_continues_at_0) {
  // The destination runs from 4000: 96 bytes to the end, 204 from 0.
  const std::vector<unsigned char> input_contents = pattern(4, page_ring);
  guarded_ring input(page_ring, input_contents);
  guarded_ring output(page_ring, pattern(5, page_ring));
  ring_delay_copy(input.ring, output.ring, 3000, 1000, 300);
  EXPECT_TRUE(std::equal(input_contents.begin() + 3000, input_contents.begin() + 3096,
                         output.ring.bytes + 4000));
  EXPECT_TRUE(
      std::equal(input_contents.begin() + 3096, input_contents.begin() + 3300, output.ring.bytes));
  check_delay_copy(page_ring, 3000, 1000, 300);
}

TEST(ring_delay_copy, a_source_crossing_the_end_continues_from_0) {
  // The source runs from 4000 (96 bytes, then 204 from 0) to 4 onwards.
  const std::vector<unsigned char> input_contents = pattern(4, page_ring);
  guarded_ring input(page_ring, input_contents);
  guarded_ring output(page_ring, pattern(5, page_ring));
  ring_delay_copy(input.ring, output.ring, 4000, 100, 300);
  EXPECT_TRUE(
      std::equal(input_contents.begin() + 4000, input_contents.end(), output.ring.bytes + 4));
  EXPECT_TRUE(
      std::equal(input_contents.begin(), input_contents.begin() + 204, output.ring.bytes + 100));
  check_delay_copy(page_ring, 4000, 100, 300);
}

TEST(ring_delay_copy, source_and_destination_crossing_at_different_bytes_take_three_pieces) {
  // The source wraps first: from 4050 after 46 bytes; the destination, from
  // 4050 + 4000 - 4096 = 3954, after 142.
  check_delay_copy(page_ring, 4050, 4000, 300);
  // The destination wraps first: from 3900 + 150 = 4050 after 46 bytes; the
  // source, from 3900, after 196.
  check_delay_copy(page_ring, 3900, 150, 300);
}

TEST(ring_delay_copy, a_copy_ending_exactly_at_the_end_leaves_byte_0_alone) {
  const std::vector<unsigned char> output_before = pattern(5, page_ring);
  guarded_ring input(page_ring, pattern(4, page_ring));
  guarded_ring output(page_ring, output_before);
  ring_delay_copy(input.ring, output.ring, 3000, 796, 300);  // destination ends at 4096
  EXPECT_EQ(output.ring.bytes[0], output_before[0]);
  check_delay_copy(page_ring, 3000, 796, 300);
  check_delay_copy(page_ring, page_ring - 300, 0, 300);    // both end at 4096
  check_delay_copy(page_ring, page_ring - 300, 500, 300);  // source ends at 4096
}

TEST(ring_delay_copy, matches_the_model_for_every_position_offset_and_length) {
  for (size_t W = 0; W < small_ring; ++W) {
    for (size_t D = 0; D < small_ring; ++D) {
      for (size_t n = 0; n < small_ring; ++n) check_delay_copy(small_ring, W, D, n);
    }
  }
}

// ---------------------------------------------------------------------------
// A whole stream through the rings, cycle by cycle as the transfer loop moves
// it: append at W, copy D further on, extract at W, advance W.

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

  // Cycle lengths in frames, full blocks and odd short ones, until the stream
  // has gone twice round the ring beyond the delay.
  const size_t cycle_frames[] = {4096, 4096, 1, 4095, 1000, 3, 4096, 2048, 17};
  const size_t total_bytes = D + 2 * N + channel_area_bytes;
  constexpr uint32_t track_marks[2] = {0x000000, 0x5A5A5A};
  std::vector<unsigned char> captured[2];
  std::vector<unsigned char> played[2];
  std::vector<unsigned char> area(channel_area_bytes);
  size_t W = 0;
  uint32_t next_sample = 0;
  for (size_t cycle = 0; played[0].size() < total_bytes; ++cycle) {
    const size_t frames = cycle_frames[cycle % std::size(cycle_frames)];
    const size_t n = frames * bytes_per_sample;
    for (int t = 0; t < 2; ++t) {
      track_ring& input = buffers.rings[t == 0 ? track_1_input : track_2_input];
      track_ring& output = buffers.rings[t == 0 ? track_1_output : track_2_output];
      put_counter_samples(area.data(), next_sample, frames, track_marks[t]);
      captured[t].insert(captured[t].end(), area.begin(), area.begin() + static_cast<long>(n));
      ring_append(input, W, area.data(), n);
      ring_delay_copy(input, output, W, D, n);
      ring_extract(output, W, area.data(), n);
      played[t].insert(played[t].end(), area.begin(), area.begin() + static_cast<long>(n));
    }
    W = ring_advance(W, n, N);
    next_sample += static_cast<uint32_t>(frames);
  }

  for (int t = 0; t < 2; ++t) {
    SCOPED_TRACE(t == 0 ? "track 1" : "track 2");
    ASSERT_GE(played[t].size(), D);
    EXPECT_EQ(nonzero_byte_count(played[t].data(), D), 0u) << "the first D bytes are not silence";
    const std::vector<unsigned char> delayed(played[t].begin() + static_cast<long>(D),
                                             played[t].end());
    const std::vector<unsigned char> expected(
        captured[t].begin(), captured[t].begin() + static_cast<long>(delayed.size()));
    EXPECT_EQ(first_difference(delayed, expected), -1);
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
  // checked below are the allocator's doing only if it zero-fills.
  void* dirty = std::malloc(block_bytes);
  std::memset(dirty, 0xA5, block_bytes);
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

  EXPECT_EQ(buffers.ring_size, size_t{1} << 20);
  for (int r = 0; r < ring_count; ++r) {
    SCOPED_TRACE(r);
    ASSERT_NE(buffers.rings[r].bytes, nullptr);
    EXPECT_EQ(buffers.rings[r].size, size_t{1} << 20);
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
      {0.0f, 44100, size_t{1} << 18, 0},
      {0.0f, 32000, size_t{1} << 17, 0},
      {1.234f, 44100, size_t{1} << 19, 163257},
      {600.0f, 44100, size_t{1} << 27, size_t{600} * 44100 * 3},
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
  // The longest delay at 44100: 512 MiB of rings, none of it resident.
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_one, 0, 0);
  audio_buffers buffers = allocate_buffers(settings_for(600.0f, 44100), plan);
  for (const track_ring& ring : buffers.rings) {
    EXPECT_EQ(resident_page_count(ring.bytes, ring.size), 0u);
  }
  // A written byte makes its own page resident, and no other ring's.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  track_ring& written = buffers.rings[track_1_input];
  written.bytes[written.size / 2] = 1;
  EXPECT_EQ(resident_page_count(written.bytes + written.size / 2, page), 1u);
  for (int r = track_1_output; r < ring_count; ++r) {
    EXPECT_EQ(resident_page_count(buffers.rings[r].bytes, buffers.rings[r].size), 0u);
  }
  free_buffers(buffers);
}

TEST(free_buffers, gives_every_ring_back_to_the_system) {
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 0, 0);
  audio_buffers buffers = allocate_buffers(settings_for(3.0f, 44100), plan);
  track_ring rings[ring_count];
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
  // holds the four 128 KiB rings of no delay at 32000 but not one block, so
  // only a staging block can be what fails.
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
  // MiB remain in use once it is open, and the longest delay at 44100 adds
  // four 128 MiB rings, which a limit of about 530 MiB would still allow.
  const std::string limit = "--as=" + std::to_string(256u << 20);
  const std::string folder = device_folder();

  const program_result refused =
      run_program("/usr/bin/prlimit",
                  {limit, QUAVELOR_BINARY, "quavelor_file", "1", "1", "1", "600", "44100", "0"},
                  test_device_environment(folder));
  EXPECT_EQ(refused.out, mode_1_status_lines("600.000", "44100", "0") + memory_line);
  EXPECT_EQ(refused.err, "");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.signal, 0);

  // Under the same limit a short delay runs: the limit leaves room for the
  // device, so the refusal above is the rings'.
  const program_result ran =
      run_program("/usr/bin/prlimit",
                  {limit, QUAVELOR_BINARY, "quavelor_file", "1", "1", "1", "0", "44100", "0"},
                  test_device_environment(folder));
  EXPECT_EQ(ran.out.find(memory_line), std::string::npos);
  EXPECT_EQ(ran.err, "");
  EXPECT_EQ(ran.exit_code, 0);
}

TEST(memory_refusal, rings_larger_than_any_machine_refuse_with_the_memory_message) {
  // 600 s at 2000000000 frames per second: four rings of 2^42 bytes. A
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
