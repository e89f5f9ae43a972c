// The transfer loop run in-process on the fake card: what it prints, where
// each transfer lands in the staging blocks, the bytes it plays, and the
// delay at which every captured frame is heard through the faults a card
// and a sound server raise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/ring_buffer.h"
#include "engine/stream_start.h"
#include "engine/transfer_loop.h"
#include "settings/routing_plan.h"
#include "settings/run_settings.h"
#include "support/fake_stream.h"

namespace {

using fake_stream::transfer_record;

constexpr size_t block_frames = 4096;

// Bytes [0, count) of a track's stream as played: `delay` bytes of silence,
// then its capture channel's samples from the capture clock frame `first`.
std::string delayed_capture(int32_t channel, int64_t first, size_t count, size_t delay) {
  std::string bytes(count, '\0');
  for (size_t b = delay; b < count; ++b) {
    const size_t source = b - delay;
    const uint32_t sample =
        fake_stream::captured_sample(channel, static_cast<uint64_t>(first) + source / bytes_per_sample);
    bytes[b] = static_cast<char>((sample >> (8 * (source % bytes_per_sample))) & 0xff);
  }
  return bytes;
}

class transfer_loop : public testing::Test {
 protected:
  void configure(routing_mode mode, int32_t input_index, int32_t output_index,
                 float delay_seconds, uint32_t sample_rate, uint64_t frame_budget,
                 bool interleaved = false) {
    release();
    settings.device_name = "fake";
    settings.mode = mode;
    settings.input_index = input_index;
    settings.output_index = output_index;
    settings.delay_seconds = delay_seconds;
    settings.sample_rate = sample_rate;
    settings.frame_budget = frame_budget;
    plan = derive_routing_plan(mode, input_index, output_index);
    buffers = allocate_buffers(settings, plan, interleaved, interleaved);
    allocated = true;
    fake_stream::reset(plan.device_channel_count, sample_rate);
    script().watch = plan.tracks[0].playback_channels[0];
    script().source = plan.tracks[0].capture_channel;
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
    pcm_pair streams{fake_stream::playback_handle(), fake_stream::capture_handle()};
    streams.linked = script().linked;
    run_transfer_loop(settings, plan, streams, buffers, fake_stream::calls);
  }

  // For death tests: the marks a failing stream prints would only clutter
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
  size_t transfer_position(const staging_block& block, const transfer_record& transfer) {
    const auto start = reinterpret_cast<uintptr_t>(block.bytes);
    const auto first = reinterpret_cast<uintptr_t>(transfer.areas[0]);
    EXPECT_EQ(transfer.interleaved, block.interleaved);
    const size_t frame_bytes = block.interleaved ? sample_stride(block) : bytes_per_sample;
    EXPECT_TRUE(first >= start && (first - start) % frame_bytes == 0);
    const size_t position = (first - start) / frame_bytes;
    EXPECT_LE(position + transfer.frames, block_frames) << "the transfer runs past its block";
    for (size_t c = 0; c < transfer.areas.size(); ++c) {
      EXPECT_EQ(transfer.areas[c], channel_area(block, static_cast<int32_t>(c), position));
    }
    return position;
  }

  bool from_silence(const transfer_record& write) {
    return write.areas[0] == channel_area(buffers.silence, 0, 0);
  }

  // Every transfer's place in its block, checked; silence written aside.
  void expect_transfers_inside_blocks() {
    for (const transfer_record& transfer : fake_stream::current.transfers) {
      if (transfer.playback && from_silence(transfer)) continue;
      transfer_position(transfer.playback ? buffers.playback : buffers.capture, transfer);
    }
  }

  // A playback channel's stream as played: the frames every write handed
  // over and the stream took, silence included.
  std::string played_stream(int32_t channel) {
    std::string played;
    for (const transfer_record& write : fake_stream::current.transfers) {
      if (!write.playback || write.result <= 0) continue;
      played += write.written[static_cast<size_t>(channel)].substr(
          0, static_cast<size_t>(write.result) * bytes_per_sample);
    }
    return played;
  }

  // The delay heard, in frames: the delay asked, or the cushion when that is
  // longer.
  int64_t delay_due() const {
    return std::max<int64_t>(static_cast<int64_t>(buffers.delay_offset / bytes_per_sample),
                             cushion_frames);
  }

  // Checks that every frame heard after the first `settling` frames came out
  // within `bound` frames of the delay due, and none twice or before one
  // captured earlier, but for `repeats` frames played twice.
  void expect_heard_at_the_delay(int64_t bound, size_t settling = 0, size_t repeats = 0) {
    const std::vector<fake_stream::heard_frame>& heard = fake_stream::current.heard;
    ASSERT_GT(heard.size(), settling);
    size_t off = 0, twice = 0;
    int64_t worst = 0;
    for (size_t k = settling; k < heard.size(); ++k) {
      const int64_t error = heard[k].heard - heard[k].captured - delay_due();
      if (std::abs(error) > bound) ++off;
      if (std::abs(error) > std::abs(worst)) worst = error;
      if (k > 0 && heard[k].capture_frame <= heard[k - 1].capture_frame) ++twice;
    }
    EXPECT_EQ(off, 0u) << "frames heard off the delay due, at worst by " << worst;
    EXPECT_LE(twice, repeats) << "frames played twice or out of order";
  }

  run_settings settings;
  routing_plan plan{};
  audio_buffers buffers;
  bool allocated = false;
};

using transfer_loop_DeathTest = transfer_loop;

TEST_F(transfer_loop, a_budget_of_zero_runs_no_cycle_and_prints_only_the_closing_line) {
  configure_plain(0);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_TRUE(fake_stream::current.transfers.empty());
}

TEST_F(transfer_loop, progress_shows_each_whole_second_once_and_the_run_ends_on_the_cycle_that_reaches_the_budget) {
  const struct {
    uint64_t budget;
    snd_pcm_sframes_t room;
    const char* out;
  } cases[] = {
      {112000, fake_stream::modelled, "\r1 sec\r2 sec\r3 sec\nFinished\n"},
      {96000, fake_stream::modelled, "\r1 sec\r2 sec\nFinished\n"},
      {70000, 1000, "\r1 sec\r2 sec\nFinished\n"},
  };
  for (const auto& c : cases) {
    configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, c.budget);
    script().avail.assign(1000, c.room);
    EXPECT_EQ(run(), c.out) << c.budget;
    const auto played = static_cast<uint64_t>(played_stream(0).size() / bytes_per_sample);
    EXPECT_GE(played, c.budget);
    EXPECT_LT(played, c.budget + block_frames);
  }
}

struct cycle_size_case {
  const char* name;
  std::vector<snd_pcm_sframes_t> room;   // playback's room, cycle by cycle
  std::vector<snd_pcm_sframes_t> reads;  // what the reads give
};

void PrintTo(const cycle_size_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_cycle_sizes : public transfer_loop,
                                  public testing::WithParamInterface<cycle_size_case> {};

TEST_P(transfer_loop_cycle_sizes, transfers_stay_inside_the_blocks_and_every_captured_frame_plays_once) {
  const cycle_size_case& c = GetParam();
  configure(routing_mode::mono_to_one, 0, 1, 0.1f, 44100, 20 * block_frames);
  script().avail = c.room;
  script().reads = c.reads;
  run();
  expect_transfers_inside_blocks();
  const std::string played = played_stream(1);
  EXPECT_EQ(played, delayed_capture(0, 44100, played.size(), delay_due() * bytes_per_sample));
}

INSTANTIATE_TEST_SUITE_P(
    sizes, transfer_loop_cycle_sizes,
    testing::Values(
        cycle_size_case{"uneven_room", {1000, 3000, 4095, 1, 4096, 2500, 2500, 9999, -EIO}, {}},
        cycle_size_case{"short_reads", {}, {4096, 1000, 0, 4095, 1, 3000}},
        cycle_size_case{"room_and_reads_uneven", {3000, 3000, 100, 4000}, {fake_stream::modelled, 2999, 50}}),
    [](const testing::TestParamInfo<cycle_size_case>& info) { return info.param.name; });

struct fault_case {
  const char* name;
  float delay_seconds;
  uint32_t rate;
  const char* marks;       // the marks printed, in order
  int64_t stall_ms = 0;    // the process stands still this long, before read 30
  bool linked = false;
  bool reports_xruns = true;
  int64_t capture_lag_ms = 0;
  snd_pcm_sframes_t read_error = 0;   // the result of read 30
  snd_pcm_sframes_t write_error = 0;  // the result of write 30
};

void PrintTo(const fault_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_faults : public transfer_loop, public testing::WithParamInterface<fault_case> {};

TEST_P(transfer_loop_faults, every_frame_is_heard_at_the_delay_asked_or_not_at_all) {
  const fault_case& c = GetParam();
  configure(routing_mode::mono_to_one, 0, 1, c.delay_seconds, c.rate, 8 * c.rate);
  script().latency = 32;
  script().linked = c.linked;
  script().reports_xruns = c.reports_xruns;
  script().capture_lag_ms = c.capture_lag_ms;
  script().stall_before_read.assign(31, 0);
  script().stall_before_read[30] = c.stall_ms;
  if (c.read_error != 0) fake_stream::current.plan.reads.assign(31, fake_stream::modelled);
  if (c.read_error != 0) script().reads[30] = c.read_error;
  if (c.write_error != 0) script().writes.assign(31, fake_stream::modelled);
  if (c.write_error != 0) script().writes[30] = c.write_error;

  const std::string out = run();
  std::string bare = out;
  for (const std::string mark : {"\nRX\n", "\nPX\n"}) {
    for (size_t at; (at = bare.find(mark)) != std::string::npos;) bare.erase(at, mark.size());
  }
  EXPECT_EQ(bare, "\r1 sec\r2 sec\r3 sec\r4 sec\r5 sec\r6 sec\r7 sec\nFinished\n");
  std::string marks;
  for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; ++at) {
    if (out.compare(at, 4, "\nRX\n") == 0) marks += "RX ";
    if (out.compare(at, 4, "\nPX\n") == 0) marks += "PX ";
  }
  EXPECT_EQ(marks, c.marks);
  const std::string unrouted = played_stream(0);
  EXPECT_EQ(unrouted, std::string(unrouted.size(), '\0')) << "sound on an unrouted channel";
  expect_heard_at_the_delay(1);
}

INSTANTIATE_TEST_SUITE_P(
    faults, transfer_loop_faults,
    testing::Values(
        fault_case{"steady", 1.0f, 44100, ""},
        fault_case{"steady_at_48000_without_delay", 0.0f, 48000, ""},
        fault_case{"linked", 1.5f, 48000, "", 0, true},
        fault_case{"capture_starting_20_ms_late", 1.0f, 44100, "", 0, false, true, 20},
        fault_case{"capture_starting_20_ms_late_with_a_short_delay", 0.35f, 44100, "", 0, false,
                   true, 20},
        fault_case{"stopped_half_a_second", 1.0f, 44100, "RX ", 500},
        fault_case{"stopped_one_and_a_half_seconds_linked", 1.0f, 48000, "RX ", 1500, true},
        fault_case{"stopped_without_delay", 0.0f, 44100, "RX ", 500},
        fault_case{"stopped_unreported", 1.0f, 44100, "", 500, false, false},
        fault_case{"stopped_a_second_unreported", 2.0f, 48000, "", 1000, false, false},
        fault_case{"stopped_unreported_with_capture_started_late", 2.0f, 48000, "", 500, false,
                   false, 40},
        fault_case{"suspended", 1.0f, 44100, "", 0, false, true, 0, -ESTRPIPE},
        fault_case{"underrun_on_a_write", 1.0f, 44100, "PX ", 0, false, true, 0, 0, -EPIPE},
        fault_case{"a_read_that_fails", 1.0f, 44100, "", 0, false, true, 0, -EIO}),
    [](const testing::TestParamInfo<fault_case>& info) { return info.param.name; });

TEST_F(transfer_loop, a_capture_clock_apart_from_playback_s_is_followed_within_2_ms_by_single_frames) {
  const struct {
    double ppm;
    size_t repeats;
  } cases[] = {{0, 0}, {200, 0}, {-200, 600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppm);
    configure(routing_mode::mono_to_one, 0, 0, 1.0f, 48000, 60 * 48000);
    script().latency = 32;
    script().capture_ppm = c.ppm;
    run();
    expect_heard_at_the_delay(c.ppm == 0 ? 1 : 96, 0, c.repeats);
  }
}

TEST_F(transfer_loop, a_quantum_of_output_that_a_server_skips_unreported_is_set_right_within_two_seconds) {
  configure(routing_mode::mono_to_one, 0, 0, 1.0f, 48000, 12 * 48000);
  script().latency = 32;
  script().reports_xruns = false;
  script().skip_before_read.assign(31, 0);
  script().skip_before_read[30] = 2048;
  run();
  // Read 30 comes at clock frame 48000 + 30 * 4096; what is heard before
  // two seconds after it may come out late, and nothing may come out early.
  const int64_t settled = 48000 + 30 * 4096 + 2 * 48000;
  size_t late = 0, early = 0;
  for (const fake_stream::heard_frame& frame : fake_stream::current.heard) {
    const int64_t error = frame.heard - frame.captured - delay_due();
    early += error < -1;
    late += error > 1 && frame.heard >= settled;
  }
  EXPECT_EQ(early, 0u);
  EXPECT_EQ(late, 0u);
}

TEST_F(transfer_loop, a_stream_failing_for_less_than_five_seconds_of_cycles_is_started_again_and_runs_on) {
  // 53 cycles are five seconds at 44100; both streams start again after 10.
  configure(routing_mode::mono_to_one, 0, 0, 1.0f, 44100, 20 * 44100);
  script().latency = 32;
  script().reads.assign(10, fake_stream::modelled);
  script().reads.resize(62, -EIO);
  script().avail.assign(100, fake_stream::modelled);
  script().avail.resize(150, 0);
  const std::string out = run();
  EXPECT_EQ(out.find("\nFinished\n"), out.size() - 10);
  expect_heard_at_the_delay(1);
}

TEST_F(transfer_loop_DeathTest, a_stream_failing_for_five_seconds_of_cycles_ends_the_run) {
  const struct {
    uint32_t rate;
    std::vector<snd_pcm_sframes_t> reads, writes, room;
    const char* message;
  } cases[] = {
      {44100, std::vector<snd_pcm_sframes_t>(53, -EIO), {}, {}, "Recording stream keeps failing: Input/output error\n"},
      {32000, std::vector<snd_pcm_sframes_t>(39, -EBADFD), {}, {},
       "Recording stream keeps failing: File descriptor in bad state\n"},
      {44100, {}, std::vector<snd_pcm_sframes_t>(200, -EPIPE), {}, "Playback stream keeps failing: Broken pipe\n"},
      {44100, {}, {}, std::vector<snd_pcm_sframes_t>(53, 0),
       "Playback stream keeps failing: Resource temporarily unavailable\n"},
  };
  for (const auto& c : cases) {
    configure(routing_mode::mono_to_one, 0, 1, 0.0f, c.rate, 1000 * block_frames);
    script().reads = c.reads;
    script().writes = c.writes;
    script().avail = c.room;
    EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1), testing::Eq(std::string(c.message)));
  }
}

struct routing_case {
  const char* name;
  routing_mode mode;
  int32_t input_index;
  int32_t output_index;
  float delay_seconds;
  uint32_t sample_rate;
  std::vector<int32_t> routed_outputs;
  std::vector<int32_t> routed_inputs;
  bool interleaved = false;  // the staging blocks' layout, as on a sound server
};

void PrintTo(const routing_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_routing : public transfer_loop,
                              public testing::WithParamInterface<routing_case> {};

TEST_P(transfer_loop_routing, each_routed_channel_plays_its_input_delayed_by_whole_frames_and_others_stay_silent) {
  const routing_case& c = GetParam();
  configure(c.mode, c.input_index, c.output_index, c.delay_seconds, c.sample_rate,
            40 * block_frames, c.interleaved);
  // A whole number of frames, within a frame of the delay asked for.
  EXPECT_EQ(buffers.delay_offset % bytes_per_sample, 0u);
  EXPECT_NEAR(static_cast<double>(buffers.delay_offset / bytes_per_sample),
              static_cast<double>(c.sample_rate) * c.delay_seconds, 1.0);
  run();
  expect_transfers_inside_blocks();
  const std::string silence(played_stream(0).size(), '\0');
  for (int32_t channel = 0; channel < plan.device_channel_count; ++channel) {
    SCOPED_TRACE("output channel " + std::to_string(channel));
    const auto routed = std::find(c.routed_outputs.begin(), c.routed_outputs.end(), channel);
    const std::string played = played_stream(channel);
    EXPECT_EQ(played, routed == c.routed_outputs.end()
                          ? silence
                          : delayed_capture(c.routed_inputs[static_cast<size_t>(routed - c.routed_outputs.begin())],
                                            c.sample_rate, played.size(),
                                            static_cast<size_t>(delay_due()) * bytes_per_sample));
  }
}

INSTANTIATE_TEST_SUITE_P(
    modes, transfer_loop_routing,
    testing::Values(
        // The first two wrap the rings several times.
        routing_case{"mono_to_one_input_3_output_2", routing_mode::mono_to_one, 2, 1, 0.5234f,
                     32000, {1}, {2}},
        routing_case{"stereo_input_2_3_to_output_3_4", routing_mode::stereo_to_stereo, 1, 2,
                     0.75f, 48000, {2, 3}, {1, 2}},
        routing_case{"stereo_input_5_6_to_output_1_2_without_delay",
                     routing_mode::stereo_to_stereo, 4, 0, 0.0f, 44100, {0, 1}, {4, 5}},
        routing_case{"mono_input_4_to_both_of_output_1_2", routing_mode::mono_to_both, 3, 0,
                     0.0333f, 44100, {0, 1}, {3, 3}},
        routing_case{"mono_input_1_to_both_of_output_5_6", routing_mode::mono_to_both, 0, 4, 1.0f,
                     96000, {4, 5}, {0, 0}},
        routing_case{"stereo_input_1_2_to_output_3_4_interleaved", routing_mode::stereo_to_stereo,
                     0, 2, 0.5f, 44100, {2, 3}, {0, 1}, true}),
    [](const testing::TestParamInfo<routing_case>& info) { return info.param.name; });

}  // namespace
