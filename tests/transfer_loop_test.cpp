// The transfer loop driven in-process through the scripted fake streams:
// every call it makes, what it prints, where each transfer lands in the
// staging blocks, and the exact bytes handed to playback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/ring_buffer.h"
#include "engine/transfer_loop.h"
#include "settings/routing_plan.h"
#include "settings/run_settings.h"
#include "support/fake_stream.h"

namespace {

using fake_stream::call_kind;
using fake_stream::call_record;
using fake_stream::records_of;
using fake_stream::set_result;

constexpr size_t block_frames = 4096;
constexpr snd_pcm_sframes_t whole = fake_stream::whole_request;

// Cycles of failing transfers that end a run at 44100 frames per second:
// five seconds of full cycles.
constexpr size_t failing_cycles_at_44100 = 53;

// Bytes [from, from + count) of a track's delayed stream: the stream of its
// capture channel moved back by delay_offset bytes, zeros first.
std::string delayed_capture(int32_t channel, uint64_t from, size_t count, size_t delay_offset) {
  std::string bytes(count, '\0');
  for (size_t b = 0; b < count; ++b) {
    const uint64_t at = from + b;
    if (at < delay_offset) continue;
    const uint64_t source = at - delay_offset;
    const uint32_t sample = fake_stream::captured_sample(channel, source / bytes_per_sample);
    bytes[b] = static_cast<char>((sample >> (8 * (source % bytes_per_sample))) & 0xff);
  }
  return bytes;
}

testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  if (actual.size() != expected.size()) {
    return testing::AssertionFailure()
           << actual.size() << " bytes where " << expected.size() << " were expected";
  }
  const size_t at = static_cast<size_t>(
      std::mismatch(actual.begin(), actual.end(), expected.begin()).first - actual.begin());
  return testing::AssertionFailure()
         << "byte " << at << " (frame " << at / bytes_per_sample << ") is "
         << int{static_cast<unsigned char>(actual[at])} << " where "
         << int{static_cast<unsigned char>(expected[at])} << " was expected";
}

// Where the next transfer of `frames` must start in a staging block, after a
// transfer that started at `previous` and moved `moved` frames: straight after
// them, or at frame 0 once they reach the end of the channel areas or when
// the next transfer would not fit before that end.
size_t next_position(size_t previous, size_t moved, size_t frames) {
  const size_t position = previous + moved;
  return position >= block_frames || position + frames > block_frames ? 0 : position;
}

size_t frames_moved(const call_record& transfer) {
  return transfer.result > 0 ? static_cast<size_t>(transfer.result) : 0;
}

const char* stream_name(snd_pcm_t* stream) {
  if (stream == fake_stream::playback_handle()) return "playback";
  if (stream == fake_stream::capture_handle()) return "capture";
  return "unknown stream";
}

// One line per recorded call, e.g. "readn capture 4096 -> 4096".
std::string describe_calls() {
  std::string text;
  for (const call_record& call : fake_stream::current.calls) {
    const std::string stream = stream_name(call.stream);
    switch (call.kind) {
      case call_kind::wait:
        text += "wait " + stream + " " + std::to_string(call.timeout_ms) + "\n";
        break;
      case call_kind::avail_update:
        text += "avail_update " + stream + " -> " + std::to_string(call.result) + "\n";
        break;
      case call_kind::readn:
        text += "readn " + stream + " " + std::to_string(call.frames) + " -> " +
                std::to_string(call.result) + "\n";
        break;
      case call_kind::writen:
        text += "writen " + stream + " " + std::to_string(call.frames) + " -> " +
                std::to_string(call.result) + "\n";
        break;
      case call_kind::prepare:
        text += "prepare " + stream + "\n";
        break;
      case call_kind::resume:
        text += "resume " + stream + " -> " + std::to_string(call.result) + "\n";
        break;
    }
  }
  return text;
}

// The calls of one cycle in which playback has room for `frames`, as
// describe_calls writes them, with the recovery calls expected after each
// transfer.
std::string cycle_of(long frames, long read_result, const std::string& after_read,
                     long write_result, const std::string& after_write) {
  const std::string asked = std::to_string(frames);
  return "wait playback 100\nwait capture 100\navail_update playback -> " + asked + "\n" +
         "readn capture " + asked + " -> " + std::to_string(read_result) + "\n" + after_read +
         "writen playback " + asked + " -> " + std::to_string(write_result) + "\n" + after_write;
}

std::string cycle(long read_result = 4096, const std::string& after_read = "",
                  long write_result = 4096, const std::string& after_write = "") {
  return cycle_of(4096, read_result, after_read, write_result, after_write);
}

std::string cycles(size_t count, long frames = 4096) {
  std::string text;
  for (size_t k = 0; k < count; ++k) text += cycle_of(frames, frames, "", frames, "");
  return text;
}

class transfer_loop : public testing::Test {
 protected:
  void configure(routing_mode mode, int32_t input_index, int32_t output_index,
                 float delay_seconds, uint32_t sample_rate, uint64_t frame_budget) {
    release();
    settings.device_name = "fake";
    settings.mode = mode;
    settings.input_index = input_index;
    settings.output_index = output_index;
    settings.delay_seconds = delay_seconds;
    settings.sample_rate = sample_rate;
    settings.frame_budget = frame_budget;
    plan = derive_routing_plan(mode, input_index, output_index);
    buffers = allocate_buffers(settings, plan);
    allocated = true;
    fake_stream::reset(plan.device_channel_count);
  }

  // Mono input 1 to output 2 without delay at 44100: the plainest run.
  void configure_plain(uint64_t frame_budget) {
    configure(routing_mode::mono_to_one, 0, 1, 0.0f, 44100, frame_budget);
  }

  fake_stream::script& script() { return fake_stream::current.plan; }

  // Runs the loop over the fake streams; returns what it printed.
  std::string run() {
    testing::internal::CaptureStdout();
    run_loop();
    return testing::internal::GetCapturedStdout();
  }

  void run_loop() {
    const pcm_pair streams{fake_stream::playback_handle(), fake_stream::capture_handle()};
    run_transfer_loop(settings, plan, streams, buffers, fake_stream::calls);
  }

  // For death tests: the markers a failing stream prints would only clutter
  // the test log.
  void run_quietly() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return;
    run_loop();
  }

  void TearDown() override { release(); }

  void release() {
    if (allocated) free_buffers(buffers);
    allocated = false;
  }

  // The staging position a transfer used. Checks on the way that entry c of
  // its pointer array is channel c's area at that position and that the
  // transfer ends inside the areas.
  size_t transfer_position(const staging_block& block, const call_record& transfer) {
    const auto start = reinterpret_cast<uintptr_t>(block.bytes);
    const auto first = reinterpret_cast<uintptr_t>(transfer.areas[0]);
    EXPECT_TRUE(first >= start && first < start + channel_area_bytes &&
                (first - start) % bytes_per_sample == 0)
        << "channel 0's address is not a frame of channel 0's area";
    const size_t position = (first - start) / bytes_per_sample;
    EXPECT_LE(position + transfer.frames, block_frames) << "the transfer runs past its area";
    for (int32_t c = 0; c < block.channel_count; ++c) {
      EXPECT_EQ(transfer.areas[static_cast<size_t>(c)], channel_area(block, c, position))
          << "channel " << c;
    }
    return position;
  }

  std::vector<size_t> positions(call_kind kind) {
    const staging_block& block = kind == call_kind::readn ? buffers.capture : buffers.playback;
    std::vector<size_t> result;
    for (const call_record* transfer : records_of(kind)) {
      result.push_back(transfer_position(block, *transfer));
    }
    return result;
  }

  // Checks every recorded cycle: both transfers ask the same frames; each
  // starts where the last one of its stream left off (or at 0 when it would
  // not fit) and stays inside its channel areas; and every playback write
  // hands over exactly a model of the playback block, in which each cycle's
  // newly captured frames appear, at the playback position, as the capture
  // channel's stream delayed by delay_offset bytes. Unrouted playback
  // channels stay zero in the model.
  void expect_exact_cycles() {
    const auto reads = records_of(call_kind::readn);
    const auto writes = records_of(call_kind::writen);
    ASSERT_EQ(reads.size(), writes.size());
    const auto channels = static_cast<size_t>(plan.device_channel_count);
    std::vector<std::string> playback_model(channels, std::string(channel_area_bytes, '\0'));
    size_t capture_previous = 0, capture_moved = 0;
    size_t playback_previous = 0, playback_moved = 0;
    uint64_t stream_bytes = 0;  // bytes each track has taken in so far

    for (size_t j = 0; j < reads.size(); ++j) {
      SCOPED_TRACE("cycle " + std::to_string(j));
      const call_record& read = *reads[j];
      const call_record& write = *writes[j];
      ASSERT_EQ(read.frames, write.frames);
      const size_t frames = read.frames;

      const size_t capture_at = transfer_position(buffers.capture, read);
      ASSERT_EQ(capture_at, next_position(capture_previous, capture_moved, frames));
      const size_t playback_at = transfer_position(buffers.playback, write);
      ASSERT_EQ(playback_at, next_position(playback_previous, playback_moved, frames));

      const size_t got_bytes = frames_moved(read) * bytes_per_sample;
      for (int32_t k = 0; k < plan.track_count; ++k) {
        const track& path = plan.tracks[k];
        const std::string fresh =
            delayed_capture(path.capture_channel, stream_bytes, got_bytes, buffers.delay_offset);
        for (int32_t p = 0; p < path.playback_channel_count; ++p) {
          playback_model[static_cast<size_t>(path.playback_channels[p])].replace(
              playback_at * bytes_per_sample, got_bytes, fresh);
        }
      }
      for (size_t c = 0; c < channels; ++c) {
        ASSERT_TRUE(same_bytes(write.written[c], playback_model[c].substr(
                                                     playback_at * bytes_per_sample,
                                                     frames * bytes_per_sample)))
            << "playback channel " << c;
      }

      capture_previous = capture_at;
      capture_moved = frames_moved(read);
      playback_previous = playback_at;
      playback_moved = frames_moved(write);
      stream_bytes += got_bytes;
    }
  }

  // A playback channel's stream as played when every write takes its whole
  // cycle: the frames of each write that carried newly captured data.
  std::string played_stream(int32_t channel) {
    const auto reads = records_of(call_kind::readn);
    const auto writes = records_of(call_kind::writen);
    std::string played;
    for (size_t j = 0; j < reads.size() && j < writes.size(); ++j) {
      played += writes[j]->written[static_cast<size_t>(channel)].substr(
          0, frames_moved(*reads[j]) * bytes_per_sample);
    }
    return played;
  }

  uint64_t frames_captured() {
    uint64_t total = 0;
    for (const call_record* read : records_of(call_kind::readn)) total += frames_moved(*read);
    return total;
  }

  run_settings settings;
  routing_plan plan{};
  audio_buffers buffers;
  bool allocated = false;
};

// gtest runs suites whose names end in DeathTest first, before any thread
// could exist.
using transfer_loop_DeathTest = transfer_loop;

TEST_F(transfer_loop, each_cycle_waits_on_both_streams_then_moves_the_frames_playback_has_room_for) {
  configure_plain(2 * block_frames);
  script().avail = {4096, 300};
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(),
            "wait playback 100\nwait capture 100\navail_update playback -> 4096\n"
            "readn capture 4096 -> 4096\nwriten playback 4096 -> 4096\n"
            "wait playback 100\nwait capture 100\navail_update playback -> 300\n"
            "readn capture 300 -> 300\nwriten playback 300 -> 300\n"
            "wait playback 100\nwait capture 100\navail_update playback -> 4096\n"
            "readn capture 4096 -> 4096\nwriten playback 4096 -> 4096\n");
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_budget_of_zero_runs_no_cycle_and_prints_only_the_closing_line) {
  configure_plain(0);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_TRUE(fake_stream::current.calls.empty());
}

TEST_F(transfer_loop, the_run_ends_after_the_first_cycle_whose_written_frames_reach_the_budget) {
  struct budget_case {
    uint64_t frame_budget;
    std::vector<snd_pcm_sframes_t> writes;
    size_t cycles;
  };
  const budget_case cases[] = {
      {1, {}, 1},
      {8192, {}, 2},
      {8193, {}, 3},
      {5000, {1000, 4000}, 2},
      {5000, {1000, 3999}, 3},
      {4096, {0, 0, 2048, 2047}, 5},
  };
  for (const budget_case& c : cases) {
    SCOPED_TRACE("budget " + std::to_string(c.frame_budget));
    configure_plain(c.frame_budget);
    script().writes = c.writes;
    EXPECT_EQ(run(), "\nFinished\n");
    EXPECT_EQ(records_of(call_kind::writen).size(), c.cycles);
    EXPECT_EQ(records_of(call_kind::readn).size(), c.cycles);
    expect_exact_cycles();
  }
}

TEST_F(transfer_loop, availability_above_a_block_or_an_availability_error_gives_cycles_of_4096_frames) {
  configure_plain(6 * block_frames);
  script().avail = {4097, 65600, -EPIPE, -EBADFD, 4096, 1000, 0};
  EXPECT_EQ(run(), "\nFinished\n");
  std::vector<snd_pcm_uframes_t> asked;
  for (const call_record* read : records_of(call_kind::readn)) asked.push_back(read->frames);
  EXPECT_EQ(asked, (std::vector<snd_pcm_uframes_t>{4096, 4096, 4096, 4096, 4096, 1000, 0, 4096}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_short_capture_read_passes_only_its_frames_and_playback_still_gets_the_whole_cycle) {
  configure_plain(4 * block_frames);
  script().reads = {1000, 0, whole, 17};
  EXPECT_EQ(run(), "\nFinished\n");
  const auto writes = records_of(call_kind::writen);
  ASSERT_EQ(writes.size(), 4u);
  for (const call_record* write : writes) EXPECT_EQ(write->frames, block_frames);

  // Without delay the first write carries the 1000 captured frames, then the
  // zeros the playback block started with.
  const std::string first = writes[0]->written[1];
  EXPECT_TRUE(same_bytes(first.substr(0, 3000), delayed_capture(0, 0, 3000, 0)));
  EXPECT_TRUE(same_bytes(first.substr(3000), std::string(channel_area_bytes - 3000, '\0')));
  // A read of nothing moves nothing: playback gets the block as it stood.
  EXPECT_TRUE(same_bytes(writes[1]->written[1], first));

  // A full cycle after a short read would not fit: each starts at frame 0.
  EXPECT_EQ(positions(call_kind::readn), (std::vector<size_t>{0, 0, 0, 0}));
  EXPECT_EQ(frames_captured(), 1000u + 4096u + 17u);
  expect_exact_cycles();
}

struct cycle_size_case {
  const char* name;
  snd_pcm_sframes_t default_avail;
  std::vector<snd_pcm_sframes_t> avail;
  std::vector<snd_pcm_sframes_t> reads;
  uint64_t frame_budget;
  const char* progress;
};

void PrintTo(const cycle_size_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_cycle_sizes : public transfer_loop,
                                  public testing::WithParamInterface<cycle_size_case> {};

TEST_P(transfer_loop_cycle_sizes, transfers_never_cross_the_end_of_a_channel_area) {
  const cycle_size_case& c = GetParam();
  configure(routing_mode::stereo_to_stereo, 1, 2, 0.05f, 32000, c.frame_budget);
  script().default_avail = c.default_avail;
  script().avail = c.avail;
  script().reads = c.reads;
  EXPECT_EQ(run(), std::string(c.progress) + "\nFinished\n");
  EXPECT_GE(frames_captured(), block_frames * 2) << "the run should pass the end of the areas";
  expect_exact_cycles();
}

std::vector<snd_pcm_sframes_t> repeated(const std::vector<snd_pcm_sframes_t>& pattern,
                                        size_t times) {
  std::vector<snd_pcm_sframes_t> list;
  for (size_t k = 0; k < times; ++k) list.insert(list.end(), pattern.begin(), pattern.end());
  return list;
}

INSTANTIATE_TEST_SUITE_P(
    odd_sizes, transfer_loop_cycle_sizes,
    testing::Values(
        cycle_size_case{"cycles_of_1000", 1000, {}, {}, 30000, ""},
        cycle_size_case{"cycles_of_4095", 4095, {}, {}, 12 * 4095, "\r1 sec"},
        cycle_size_case{"cycles_of_1", 1, {}, {}, 2 * 4096 + 100, ""},
        cycle_size_case{"mixed_cycles",
                        4096,
                        repeated({1000, 4095, 1, 3000, 96, 4096, 7, 2048, 2049, 100000}, 4),
                        {},
                        40 * 4096,
                        "\r1 sec\r2 sec\r3 sec\r4 sec"},
        cycle_size_case{"mixed_cycles_with_short_reads",
                        1000,
                        repeated({1000, 4095, 1, 3000, 96, 4096, 7, 2048, 2049, 100000}, 4),
                        repeated({600, whole, 0, 2999, 5, whole, whole, 1500, -EIO}, 5),
                        40 * 4096,
                        "\r1 sec\r2 sec\r3 sec\r4 sec\r5 sec"}),
    [](const testing::TestParamInfo<cycle_size_case>& info) { return info.param.name; });

TEST_F(transfer_loop, capture_and_playback_return_to_frame_0_each_by_its_own_frames) {
  configure_plain(10 * 1000);
  script().default_avail = 1000;
  script().default_read = 600;
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(positions(call_kind::readn),
            (std::vector<size_t>{0, 600, 1200, 1800, 2400, 3000, 0, 600, 1200, 1800}));
  EXPECT_EQ(positions(call_kind::writen),
            (std::vector<size_t>{0, 1000, 2000, 3000, 0, 1000, 2000, 3000, 0, 1000}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_capture_overrun_marks_rx_prepares_capture_and_the_next_cycles_carry_on_exactly) {
  configure(routing_mode::mono_to_one, 2, 1, 0.01f, 32000, 8 * 1000);
  script().default_avail = 1000;
  script().reads = {whole, whole, -EPIPE, 700, -EPIPE};
  EXPECT_EQ(run(), "\nRX\n\nRX\n\nFinished\n");
  const std::string overrun = cycle_of(1000, -EPIPE, "prepare capture\n", 1000, "");
  EXPECT_EQ(describe_calls(), cycles(2, 1000) + overrun + cycle_of(1000, 700, "", 1000, "") +
                                  overrun + cycles(3, 1000));
  EXPECT_EQ(positions(call_kind::readn),
            (std::vector<size_t>{0, 1000, 2000, 2000, 2700, 2700, 0, 1000}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_playback_underrun_marks_px_prepares_playback_and_counts_nothing) {
  configure(routing_mode::mono_to_one, 2, 1, 0.01f, 32000, 4000);
  script().default_avail = 1000;
  script().writes = {600, -EPIPE};
  EXPECT_EQ(run(), "\nPX\n\nFinished\n");
  // 600 frames, then none, then 1000 a cycle: the budget is reached in the
  // sixth cycle.
  EXPECT_EQ(describe_calls(), cycle_of(1000, 1000, "", 600, "") +
                                  cycle_of(1000, 1000, "", -EPIPE, "prepare playback\n") +
                                  cycles(4, 1000));
  EXPECT_EQ(positions(call_kind::writen),
            (std::vector<size_t>{0, 600, 600, 1600, 2600, 0}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_suspended_capture_stream_is_resumed_and_its_cycle_moves_no_frames) {
  configure_plain(4 * block_frames);
  set_result(script().reads, 1, -ESTRPIPE);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), cycle() + cycle(-ESTRPIPE, "resume capture -> 0\n") + cycles(2));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_resume_still_in_progress_is_left_until_the_next_suspended_cycle) {
  configure_plain(4 * block_frames);
  set_result(script().reads, 1, -ESTRPIPE);
  set_result(script().reads, 2, -ESTRPIPE);
  script().resumes = {-EAGAIN, 0};
  set_result(script().writes, 3, -ESTRPIPE);
  script().resumes.push_back(-EAGAIN);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), cycle() + cycle(-ESTRPIPE, "resume capture -> -11\n") +
                                  cycle(-ESTRPIPE, "resume capture -> 0\n") +
                                  cycle(4096, "", -ESTRPIPE, "resume playback -> -11\n") +
                                  cycles(1));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_stream_that_cannot_resume_is_prepared_again) {
  configure_plain(3 * block_frames);
  set_result(script().reads, 0, -ESTRPIPE);
  set_result(script().writes, 1, -ESTRPIPE);
  script().resumes = {-ENOSYS, -EBUSY};
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), cycle(-ESTRPIPE, "resume capture -> -38\nprepare capture\n") +
                                  cycle(4096, "", -ESTRPIPE,
                                        "resume playback -> -16\nprepare playback\n") +
                                  cycles(2));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_suspended_playback_stream_counts_nothing_toward_the_budget) {
  configure_plain(2 * block_frames);
  set_result(script().writes, 0, -ESTRPIPE);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(),
            cycle(4096, "", -ESTRPIPE, "resume playback -> 0\n") + cycles(2));
  expect_exact_cycles();
}

TEST_F(transfer_loop, other_transfer_errors_count_no_frames_and_prepare_the_stream_silently) {
  configure_plain(4 * block_frames);
  set_result(script().reads, 1, -EBADFD);
  set_result(script().reads, 2, -EIO);
  set_result(script().writes, 2, -EIO);
  set_result(script().writes, 3, -EBADFD);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), cycle() + cycle(-EBADFD, "prepare capture\n") +
                                  cycle(-EIO, "prepare capture\n", -EIO, "prepare playback\n") +
                                  cycle(4096, "", -EBADFD, "prepare playback\n") + cycles(2));
  EXPECT_EQ(frames_captured(), 4 * block_frames);
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_failing_stream_runs_on_while_each_failing_spell_is_shorter_than_five_seconds) {
  constexpr size_t spell = failing_cycles_at_44100 - 1;
  configure_plain(3 * spell * block_frames);
  for (size_t j = 0; j < spell; ++j) {
    set_result(script().reads, j, -EIO);
    set_result(script().reads, spell + 1 + j, -EPIPE);
    set_result(script().writes, j, -EPIPE);
    set_result(script().writes, spell + 1 + j, -EIO);
  }
  std::string markers;
  for (size_t j = 0; j < spell; ++j) markers += "\nPX\n";
  for (size_t j = 0; j < spell; ++j) markers += "\nRX\n";
  const std::string out = run();
  ASSERT_EQ(out.substr(0, markers.size()), markers);
  EXPECT_EQ(out.find("\nFinished\n"), out.size() - 10);
  expect_exact_cycles();
}

TEST_F(transfer_loop_DeathTest, a_capture_stream_failing_for_five_seconds_of_cycles_ends_the_run) {
  configure_plain(1000 * block_frames);
  for (size_t j = 0; j < failing_cycles_at_44100; ++j) set_result(script().reads, j, -EIO);
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Recording stream keeps failing: Input/output error\n")));

  configure_plain(1000 * block_frames);
  for (size_t j = 0; j < failing_cycles_at_44100 - 1; ++j) set_result(script().reads, j, -EPIPE);
  set_result(script().reads, failing_cycles_at_44100 - 1, -EBADFD);
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Recording stream keeps failing: File descriptor in bad state\n")));
}

TEST_F(transfer_loop_DeathTest, a_playback_stream_failing_for_five_seconds_of_cycles_ends_the_run) {
  configure_plain(1000 * block_frames);
  for (size_t j = 0; j < failing_cycles_at_44100; ++j) set_result(script().writes, j, -EPIPE);
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Playback stream keeps failing: Broken pipe\n")));
}

TEST_F(transfer_loop_DeathTest, a_playback_stream_that_never_offers_room_ends_the_run) {
  // Zero-frame cycles move nothing on either stream; the run must not spin
  // through them forever.
  configure_plain(1000 * block_frames);
  script().default_avail = 0;
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Playback stream keeps failing: Resource temporarily unavailable\n")));
}

TEST_F(transfer_loop, a_few_cycles_without_room_do_not_end_the_run) {
  configure_plain(2 * block_frames);
  script().avail = {0, 0, 0, 4096, 0, 4096};
  EXPECT_EQ(run(), "\nFinished\n");
  expect_exact_cycles();
}

TEST_F(transfer_loop_DeathTest, the_failing_spell_that_ends_a_run_is_five_seconds_at_the_run_rate) {
  // 5 * 32000 / 4096 = 39 cycles.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 1000 * block_frames);
  for (size_t j = 0; j < 39; ++j) set_result(script().writes, j, -EIO);
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Playback stream keeps failing: Input/output error\n")));

  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 2 * block_frames);
  for (size_t j = 0; j < 38; ++j) set_result(script().writes, j, -EIO);
  EXPECT_EQ(run(), "\nFinished\n");
}

TEST_F(transfer_loop, progress_shows_each_whole_second_once_on_one_line) {
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 112000);
  EXPECT_EQ(run(), "\r1 sec\r2 sec\r3 sec\nFinished\n");

  // The cycle that reaches the budget ends the run before showing anything.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 96000);
  EXPECT_EQ(run(), "\r1 sec\r2 sec\nFinished\n");

  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 70000);
  script().default_avail = 1000;
  EXPECT_EQ(run(), "\r1 sec\r2 sec\nFinished\n");
}

TEST_F(transfer_loop, progress_follows_the_cycle_that_completes_a_second_of_written_frames) {
  // At 32000 frames per second the eighth cycle of 4096 completes the first
  // second.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 10 * block_frames);
  set_result(script().reads, 7, -EPIPE);
  EXPECT_EQ(run(), "\nRX\n\r1 sec\nFinished\n");

  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 10 * block_frames);
  set_result(script().reads, 8, -EPIPE);
  EXPECT_EQ(run(), "\r1 sec\nRX\n\nFinished\n");

  // An underrun writes nothing, so the second completes one cycle later.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 10 * block_frames);
  set_result(script().writes, 0, -EPIPE);
  set_result(script().reads, 8, -EPIPE);
  EXPECT_EQ(run(), "\nPX\n\nRX\n\r1 sec\nFinished\n");
}

struct routing_case {
  const char* name;
  routing_mode mode;
  int32_t input_index;
  int32_t output_index;
  float delay_seconds;
  uint32_t sample_rate;
  const char* progress;
  std::vector<int32_t> routed_outputs;
  std::vector<int32_t> routed_inputs;
};

void PrintTo(const routing_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_routing : public transfer_loop,
                              public testing::WithParamInterface<routing_case> {};

TEST_P(transfer_loop_routing, each_routed_channel_plays_its_input_delayed_by_whole_frames_and_others_stay_silent) {
  const routing_case& c = GetParam();
  constexpr uint64_t cycle_count = 40;
  configure(c.mode, c.input_index, c.output_index, c.delay_seconds, c.sample_rate,
            cycle_count * block_frames);
  const size_t delay_offset = buffers.delay_offset;
  // A whole number of frames, within a frame of the delay asked for.
  EXPECT_EQ(delay_offset % bytes_per_sample, 0u);
  EXPECT_NEAR(static_cast<double>(delay_offset / bytes_per_sample),
              static_cast<double>(c.sample_rate) * c.delay_seconds, 1.0);

  EXPECT_EQ(run(), std::string(c.progress) + "\nFinished\n");
  const uint64_t captured_bytes = frames_captured() * bytes_per_sample;
  for (size_t k = 0; k < c.routed_outputs.size(); ++k) {
    SCOPED_TRACE("output channel " + std::to_string(c.routed_outputs[k]));
    EXPECT_TRUE(same_bytes(played_stream(c.routed_outputs[k]),
                           delayed_capture(c.routed_inputs[k], 0, captured_bytes, delay_offset)));
  }
  for (int32_t channel = 0; channel < plan.device_channel_count; ++channel) {
    if (std::count(c.routed_outputs.begin(), c.routed_outputs.end(), channel) > 0) continue;
    for (const call_record* write : records_of(call_kind::writen)) {
      ASSERT_TRUE(same_bytes(write->written[static_cast<size_t>(channel)],
                             std::string(write->frames * bytes_per_sample, '\0')))
          << "unrouted channel " << channel;
    }
  }
  expect_exact_cycles();
}

INSTANTIATE_TEST_SUITE_P(
    modes, transfer_loop_routing,
    testing::Values(
        // The first two wrap the rings several times.
        routing_case{"mono_to_one_input_3_output_2", routing_mode::mono_to_one, 2, 1, 0.1234f,
                     32000, "\r1 sec\r2 sec\r3 sec\r4 sec", {1}, {2}},
        routing_case{"stereo_input_2_3_to_output_3_4", routing_mode::stereo_to_stereo, 1, 2,
                     0.25f, 48000, "\r1 sec\r2 sec\r3 sec", {2, 3}, {1, 2}},
        routing_case{"stereo_input_5_6_to_output_1_2_without_delay",
                     routing_mode::stereo_to_stereo, 4, 0, 0.0f, 44100, "\r1 sec\r2 sec\r3 sec",
                     {0, 1}, {4, 5}},
        routing_case{"mono_input_4_to_both_of_output_1_2", routing_mode::mono_to_both, 3, 0,
                     0.0333f, 44100, "\r1 sec\r2 sec\r3 sec", {0, 1}, {3, 3}},
        routing_case{"mono_input_1_to_both_of_output_5_6", routing_mode::mono_to_both, 0, 4, 1.0f,
                     96000, "\r1 sec", {4, 5}, {0, 0}}),
    [](const testing::TestParamInfo<routing_case>& info) { return info.param.name; });

}  // namespace
