// The transfer loop driven in-process through the scripted fake streams:
// every call it makes, what it prints, where each transfer lands in the
// staging blocks, and the exact bytes handed to playback, cushion included.
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
// The run's first writes are the cushion, a block at a time.
constexpr size_t cushion_writes = cushion_frames / block_frames;
constexpr long cushion = static_cast<long>(cushion_frames);

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
      case call_kind::writen:
        text += std::string(call.kind == call_kind::readn ? "read" : "write") +
                (call.interleaved ? "i " : "n ") + stream + " " + std::to_string(call.frames) +
                " -> " + std::to_string(call.result) + "\n";
        break;
      case call_kind::resume:
        text += "resume " + stream + " -> " + std::to_string(call.result) + "\n";
        break;
      case call_kind::delay:
        text += "delay " + stream + " -> " + std::to_string(call.delay) + "\n";
        break;
      case call_kind::prepare:
      case call_kind::start:
      case call_kind::drop:
        text += std::string(call.kind == call_kind::prepare ? "prepare "
                            : call.kind == call_kind::start ? "start "
                                                            : "drop ") +
                stream + "\n";
        break;
    }
  }
  return text;
}

// The calls that write the cushion, and those that begin a run.
std::string cushion_calls() {
  std::string text;
  for (size_t k = 0; k < cushion_writes; ++k) text += "writen playback 4096 -> 4096\n";
  return text;
}

std::string run_start() { return cushion_calls() + "start capture\n"; }

// A look at the latency after a write, as the fake reports it: each stream
// asked twice, playback first.
std::string reports(long playback, long capture, long playback_again, long capture_again) {
  return "delay playback -> " + std::to_string(playback) + "\ndelay capture -> " +
         std::to_string(capture) + "\ndelay playback -> " + std::to_string(playback_again) +
         "\ndelay capture -> " + std::to_string(capture_again) + "\n";
}

std::string measured(long playback = cushion - 1, long capture = 1) {
  return reports(playback, capture, playback, capture);
}

// Scripted figures for successive looks that each find a stream steady.
std::vector<snd_pcm_sframes_t> looks(std::initializer_list<snd_pcm_sframes_t> figures) {
  std::vector<snd_pcm_sframes_t> reported;
  for (const snd_pcm_sframes_t figure : figures) reported.insert(reported.end(), 2, figure);
  return reported;
}

// The calls of one cycle in which playback has room for `frames`, as
// describe_calls writes them, with the calls expected after each transfer.
// Playback is asked for the frames the read gave, and not at all for none.
std::string cycle_of(long frames, long read_result, const std::string& after_read,
                     long write_result, const std::string& after_write) {
  const std::string asked = std::to_string(frames);
  const long got = std::clamp(read_result, 0L, frames);
  return "wait playback 100\navail_update playback -> " + asked + "\n" + "readn capture " +
         asked + " -> " + std::to_string(read_result) + "\n" + after_read +
         (got > 0 ? "writen playback " + std::to_string(got) + " -> " +
                        std::to_string(write_result) + "\n"
                  : "") +
         after_write;
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
    EXPECT_EQ(transfer.interleaved, block.interleaved);
    if (block.interleaved) {
      // One pointer, at a frame of the block, with room for the frames.
      const size_t frame_bytes = sample_stride(block);
      EXPECT_TRUE(first >= start && (first - start) % frame_bytes == 0);
      const size_t position = (first - start) / frame_bytes;
      EXPECT_LE(position + transfer.frames, block_frames) << "the transfer runs past its block";
      return position;
    }
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

  bool from_silence(const call_record& write) {
    return write.areas[0] == channel_area(buffers.silence, 0, 0);
  }

  std::vector<size_t> positions(call_kind kind) {
    const staging_block& block = kind == call_kind::readn ? buffers.capture : buffers.playback;
    std::vector<size_t> result;
    for (const call_record* transfer : records_of(kind)) {
      if (kind == call_kind::writen && from_silence(*transfer)) continue;
      result.push_back(transfer_position(block, *transfer));
    }
    return result;
  }

  // The ring offset: the delay less the cushion, or none.
  size_t ring_offset() const {
    const size_t cushion_bytes = cushion_frames * bytes_per_sample;
    return buffers.delay_offset > cushion_bytes ? buffers.delay_offset - cushion_bytes : 0;
  }

  // Checks every transfer against a model of the loop, for runs in which the
  // fake reports no latency, so that nothing is shed: each read starts where
  // the last one left off (or at 0 when it would not fit) and stays inside
  // the channel areas; so does each write of audio, which asks for exactly
  // the frames its cycle's read gave and hands over, on each routed channel,
  // the capture channel's stream delayed by the ring offset at the ring
  // position of that cycle, and zeros on every other channel; writes of
  // silence come from the block of silence.
  void expect_exact_cycles() {
    size_t capture_previous = 0, capture_moved = 0;
    size_t playback_previous = 0, playback_moved = 0;
    uint64_t ring_bytes = 0;  // where the current cycle reads the rings
    size_t cycle_bytes = 0;   // bytes the current cycle's read gave
    std::vector<int32_t> sources(static_cast<size_t>(plan.device_channel_count), -1);
    for (int32_t k = 0; k < plan.track_count; ++k) {
      for (int32_t p = 0; p < plan.tracks[k].playback_channel_count; ++p) {
        sources[static_cast<size_t>(plan.tracks[k].playback_channels[p])] =
            plan.tracks[k].capture_channel;
      }
    }
    size_t cycle = 0;
    for (const call_record& call : fake_stream::current.calls) {
      SCOPED_TRACE("cycle " + std::to_string(cycle));
      if (call.kind == call_kind::readn) {
        const size_t at = transfer_position(buffers.capture, call);
        ASSERT_EQ(at, next_position(capture_previous, capture_moved, call.frames));
        capture_previous = at;
        capture_moved = frames_moved(call);
        ring_bytes += cycle_bytes;
        cycle_bytes = capture_moved * bytes_per_sample;
        ++cycle;
      } else if (call.kind == call_kind::writen && from_silence(call)) {
        for (size_t c = 0; c < call.areas.size(); ++c) {
          ASSERT_EQ(call.areas[c], channel_area(buffers.silence, static_cast<int32_t>(c), 0));
        }
      } else if (call.kind == call_kind::writen) {
        ASSERT_EQ(call.frames * bytes_per_sample, cycle_bytes) << "not the frames captured";
        const size_t at = transfer_position(buffers.playback, call);
        ASSERT_EQ(at, next_position(playback_previous, playback_moved, call.frames));
        for (size_t c = 0; c < sources.size(); ++c) {
          const std::string expected =
              sources[c] < 0 ? std::string(cycle_bytes, '\0')
                             : delayed_capture(sources[c], ring_bytes, cycle_bytes, ring_offset());
          ASSERT_TRUE(same_bytes(call.written[c], expected)) << "playback channel " << c;
        }
        playback_previous = at;
        playback_moved = frames_moved(call);
      }
    }
  }

  // A playback channel's stream as played: the frames every write handed
  // over and the stream took, silence included.
  std::string played_stream(int32_t channel) {
    std::string played;
    for (const call_record* write : records_of(call_kind::writen)) {
      played += write->written[static_cast<size_t>(channel)].substr(
          0, frames_moved(*write) * bytes_per_sample);
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

TEST_F(transfer_loop, a_run_writes_its_cushion_starts_capture_and_each_cycle_moves_what_playback_has_room_for) {
  configure_plain(cushion_frames + 2 * block_frames);
  script().avail = {4096, 300};
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(),
            run_start() +
            "wait playback 100\navail_update playback -> 4096\n"
            "readn capture 4096 -> 4096\nwriten playback 4096 -> 4096\n" + measured() +
            "wait playback 100\navail_update playback -> 300\n"
            "readn capture 300 -> 300\nwriten playback 300 -> 300\n" + measured() +
            "wait playback 100\navail_update playback -> 4096\n"
            "readn capture 4096 -> 4096\nwriten playback 4096 -> 4096\n");
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_budget_of_zero_runs_no_cycle_and_prints_only_the_closing_line) {
  configure_plain(0);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_TRUE(fake_stream::current.calls.empty());
}

TEST_F(transfer_loop, the_run_ends_after_the_first_cycle_whose_written_frames_reach_the_budget) {
  // The cushion's frames count: they are played like any others.
  struct budget_case {
    uint64_t frame_budget;
    std::vector<snd_pcm_sframes_t> writes;  // after the cushion's
    size_t cycles;
  };
  const budget_case cases[] = {
      {1, {}, 1},
      {cushion_frames + 8192, {}, 2},
      {cushion_frames + 8193, {}, 3},
      {cushion_frames + 5000, {1000, 4000}, 2},
      {cushion_frames + 5000, {1000, 3999}, 3},
      {cushion_frames + 4096, {0, 0, 2048, 2047}, 5},
  };
  for (const budget_case& c : cases) {
    SCOPED_TRACE("budget " + std::to_string(c.frame_budget));
    configure_plain(c.frame_budget);
    script().writes.assign(cushion_writes, whole);
    script().writes.insert(script().writes.end(), c.writes.begin(), c.writes.end());
    EXPECT_EQ(run(), "\nFinished\n");
    EXPECT_EQ(records_of(call_kind::readn).size(), c.cycles);
    expect_exact_cycles();
  }
}

TEST_F(transfer_loop, availability_above_a_block_or_an_availability_error_gives_cycles_of_4096_frames) {
  configure_plain(cushion_frames + 6 * block_frames);
  script().avail = {4097, 65600, -EPIPE, -EBADFD, 4096, 1000, 0};
  EXPECT_EQ(run(), "\nFinished\n");
  std::vector<snd_pcm_uframes_t> asked;
  for (const call_record* read : records_of(call_kind::readn)) asked.push_back(read->frames);
  EXPECT_EQ(asked, (std::vector<snd_pcm_uframes_t>{4096, 4096, 4096, 4096, 4096, 1000, 0, 4096}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_capture_read_short_of_the_cycle_plays_only_its_frames_so_nothing_plays_twice) {
  configure_plain(cushion_frames + 3 * block_frames);
  script().reads = {1000, 0, whole, 17, whole};
  EXPECT_EQ(run(), "\nFinished\n");
  // A read of nothing plays nothing.
  EXPECT_EQ(describe_calls(), run_start() + cycle(1000, "", 1000, measured()) + cycle(0, "") +
                                  cycle(4096, "", 4096, measured()) + cycle(17, "", 17, "") +
                                  cycles(2));
  // The stream played is the stream captured, unbroken: silence for the
  // cushion, then every captured frame once, in order.
  EXPECT_TRUE(same_bytes(played_stream(1),
                         delayed_capture(0, 0, (cushion_frames + 1000 + 4096 + 17 + 8192) * 3,
                                         cushion_frames * bytes_per_sample)));
  // A full cycle after a short read would not fit: each starts at frame 0.
  EXPECT_EQ(positions(call_kind::readn), (std::vector<size_t>{0, 0, 0, 0, 0, 0}));
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
  configure(routing_mode::stereo_to_stereo, 1, 2, 0.5f, 32000, c.frame_budget);
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
        cycle_size_case{"cycles_of_1000", 1000, {}, {}, 42000, "\r1 sec"},
        cycle_size_case{"cycles_of_4095", 4095, {}, {}, 12 * 4095, "\r1 sec"},
        cycle_size_case{"cycles_of_1", 1, {}, {}, cushion_frames + 2 * 4096 + 100, ""},
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
  configure_plain(cushion_frames + 10 * 600);
  script().default_avail = 1000;
  script().default_read = 600;
  script().writes.assign(cushion_writes, whole);
  script().writes.insert(script().writes.end(), {500, 500, 500, 500, 500, 500, 500, 500, 500});
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(positions(call_kind::readn),
            (std::vector<size_t>{0, 600, 1200, 1800, 2400, 3000, 0, 600, 1200, 1800, 2400, 3000}));
  // Each write takes 500 of the 600 frames asked, until the script runs out.
  EXPECT_EQ(positions(call_kind::writen),
            (std::vector<size_t>{0, 500, 1000, 1500, 2000, 2500, 3000, 0, 500, 1000, 1600, 2200}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_capture_overrun_marks_rx_restarts_capture_and_plays_nothing_twice) {
  configure(routing_mode::mono_to_one, 2, 1, 0.5f, 32000, cushion_frames + 8 * 1000);
  script().default_avail = 1000;
  script().reads = {whole, whole, -EPIPE, 700, -EPIPE};
  EXPECT_EQ(run(), "\nRX\n\nRX\n\nFinished\n");
  const std::string overrun = cycle_of(1000, -EPIPE, "prepare capture\nstart capture\n", 0, "");
  // The delay is first set on two like looks, after the first two writes,
  // and again on the fourth write after a restart.
  const std::string look = cycle_of(1000, 1000, "", 1000, measured());
  EXPECT_EQ(describe_calls(), run_start() + look + look + overrun +
                                  cycle_of(1000, 700, "", 700, "") + overrun + cycles(3, 1000) +
                                  look + cycles(2, 1000));
  EXPECT_EQ(positions(call_kind::readn),
            (std::vector<size_t>{0, 1000, 2000, 2000, 2700, 2700, 0, 1000, 2000, 3000, 0}));
  // Every frame captured is played once, in order, the delay after it.
  EXPECT_TRUE(same_bytes(played_stream(1),
                         delayed_capture(2, 0, (cushion_frames + 8700) * 3, buffers.delay_offset)));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_playback_underrun_marks_px_and_plays_the_frames_again_behind_a_new_cushion) {
  configure(routing_mode::mono_to_one, 2, 1, 0.5f, 32000, 2 * cushion_frames + 3600);
  script().default_avail = 1000;
  set_result(script().writes, cushion_writes, 600);
  set_result(script().writes, cushion_writes + 1, -EPIPE);
  EXPECT_EQ(run(), "\nPX\n\nFinished\n");
  EXPECT_EQ(describe_calls(),
            run_start() + cycle_of(1000, 1000, "", 600, measured()) +
                cycle_of(1000, 1000, "", -EPIPE,
                         "prepare playback\n" + cushion_calls() + "writen playback 1000 -> 1000\n") +
                cycles(2, 1000));
  // The 400 frames the first write did not take are lost; the rest plays on
  // behind the new cushion.
  const size_t D = buffers.delay_offset;
  const std::string played = played_stream(1);
  EXPECT_TRUE(same_bytes(played.substr(0, (cushion_frames + 600) * 3),
                         delayed_capture(2, 0, (cushion_frames + 600) * 3, D)));
  EXPECT_TRUE(same_bytes(played.substr((cushion_frames + 600) * 3, cushion_frames * 3),
                         std::string(cushion_frames * 3, '\0')));
  EXPECT_TRUE(same_bytes(played.substr((2 * cushion_frames + 600) * 3),
                         delayed_capture(2, (cushion_frames + 1000) * 3, 3000 * 3, D)));
  EXPECT_EQ(positions(call_kind::writen), (std::vector<size_t>{0, 600, 600, 1600, 2600}));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_suspended_capture_stream_is_resumed_and_its_cycle_moves_no_frames) {
  configure_plain(cushion_frames + 3 * block_frames);
  set_result(script().reads, 1, -ESTRPIPE);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), run_start() + cycle(4096, "", 4096, measured()) +
                                  cycle(-ESTRPIPE, "resume capture -> 0\n") + cycles(2));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_resume_still_in_progress_is_left_until_the_next_suspended_cycle) {
  configure_plain(cushion_frames + 3 * block_frames);
  set_result(script().reads, 1, -ESTRPIPE);
  set_result(script().reads, 2, -ESTRPIPE);
  script().resumes = {-EAGAIN, 0, -EAGAIN};
  set_result(script().writes, cushion_writes + 1, -ESTRPIPE);
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(), run_start() + cycle(4096, "", 4096, measured()) +
                                  cycle(-ESTRPIPE, "resume capture -> -11\n") +
                                  cycle(-ESTRPIPE, "resume capture -> 0\n") +
                                  cycle(4096, "", -ESTRPIPE, "resume playback -> -11\n") +
                                  cycles(2));
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_stream_that_cannot_resume_is_prepared_and_started_again) {
  configure_plain(cushion_frames + 2 * block_frames);
  set_result(script().reads, 0, -ESTRPIPE);
  set_result(script().writes, cushion_writes, -ESTRPIPE);
  script().resumes = {-ENOSYS, -EBUSY};
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(),
            run_start() + cycle(-ESTRPIPE, "resume capture -> -38\nprepare capture\nstart capture\n") +
                cycle(4096, "", -ESTRPIPE,
                      "resume playback -> -16\nprepare playback\n" + cushion_calls() +
                          "writen playback 4096 -> 4096\n"));
  expect_exact_cycles();
}

TEST_F(transfer_loop, other_transfer_errors_count_no_frames_and_bring_the_stream_back_silently) {
  configure_plain(3 * cushion_frames + 3 * block_frames);
  set_result(script().reads, 1, -EBADFD);
  set_result(script().reads, 2, -EIO);
  set_result(script().writes, cushion_writes + 1, -EIO);
  set_result(script().writes, 2 * cushion_writes + 3, -EBADFD);
  EXPECT_EQ(run(), "\nFinished\n");
  const std::string again = cushion_calls() + "writen playback 4096 -> 4096\n";
  EXPECT_EQ(describe_calls(), run_start() + cycle(4096, "", 4096, measured()) +
                                  cycle(-EBADFD, "prepare capture\nstart capture\n") +
                                  cycle(-EIO, "prepare capture\nstart capture\n") +
                                  cycle(4096, "", -EIO, "prepare playback\n" + again) +
                                  cycle(4096, "", -EBADFD, "prepare playback\n" + again));
  EXPECT_EQ(frames_captured(), 3 * block_frames);
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_stream_failing_for_a_second_of_cycles_is_dropped_and_started_again) {
  // 11 cycles are a second at 48000.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 48000, 30 * block_frames);
  for (size_t j = 0; j < 11; ++j) set_result(script().reads, 1 + j, -EIO);
  script().avail.assign(13, 4096);
  script().avail.insert(script().avail.end(), 11, 0);
  const std::string out = run();
  EXPECT_EQ(out.find("\nFinished\n"), out.size() - 10);
  const std::string calls = describe_calls();
  const std::string restarted_capture = "prepare capture\nstart capture\ndrop capture\nprepare capture\nstart capture\n";
  const std::string restarted_playback = "drop playback\nprepare playback\n" + cushion_calls();
  EXPECT_EQ(calls.find(restarted_capture), calls.rfind(restarted_capture)) << calls;
  EXPECT_NE(calls.find(restarted_capture), std::string::npos) << calls;
  EXPECT_NE(calls.find("readn capture 0 -> 0\n" + restarted_playback), std::string::npos) << calls;
  expect_exact_cycles();
}

TEST_F(transfer_loop, a_failing_stream_runs_on_while_each_failing_spell_is_shorter_than_five_seconds) {
  constexpr size_t spell = failing_cycles_at_44100 - 1;
  configure_plain(3 * spell * block_frames);
  for (size_t j = 0; j < spell; ++j) {
    set_result(script().reads, j, -EIO);
    set_result(script().reads, spell + 1 + j, -EPIPE);
  }
  std::string markers;
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
  script().default_write = -EPIPE;
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
  configure_plain(cushion_frames + 2 * block_frames);
  script().avail = {0, 0, 0, 4096, 0, 4096};
  EXPECT_EQ(run(), "\nFinished\n");
  expect_exact_cycles();
}

TEST_F(transfer_loop_DeathTest, the_failing_spell_that_ends_a_run_is_five_seconds_at_the_run_rate) {
  // 5 * 32000 / 4096 = 39 cycles.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 1000 * block_frames);
  for (size_t j = 0; j < 39; ++j) set_result(script().reads, j, -EIO);
  EXPECT_EXIT(run_quietly(), testing::ExitedWithCode(1),
              testing::Eq(std::string("Recording stream keeps failing: Input/output error\n")));

  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, cushion_frames + 2 * block_frames);
  for (size_t j = 0; j < 38; ++j) set_result(script().reads, j, -EIO);
  EXPECT_EQ(run(), "\nFinished\n");
}

TEST_F(transfer_loop, the_delay_heard_is_measured_once_audio_flows_and_kept_after_a_stream_comes_back) {
  // 16000 frames of delay at 32000, 3712 of them in the ring behind the
  // cushion. The first two looks report 501 frames beyond the cushion: the
  // one waiting in capture is read and dropped, 500 are dropped from the
  // ring. After the underrun, the fourth write finds 14288 frames too many:
  // the 2000 waiting in capture go first, then the 3212 left in the ring,
  // then 9076 more from capture.
  configure(routing_mode::mono_to_both, 0, 0, 0.5f, 32000, 2 * cushion_frames + 12 * block_frames);
  script().playback_delays =
      looks({cushion + 500, cushion + 500, 2 * cushion + 500});
  script().capture_delays = looks({1, 1, 2000});
  set_result(script().writes, cushion_writes + 2, -EPIPE);
  EXPECT_EQ(run(), "\nPX\n\r1 sec\r2 sec\nFinished\n");
  EXPECT_EQ(describe_calls(),
            run_start() + cycle(4096, "", 4096, measured(cushion + 500, 1)) +
                cycle(4096, "", 4096, measured(cushion + 500, 1) + "readn capture 1 -> 1\n") +
                cycle(4096, "", -EPIPE,
                      "prepare playback\n" + cushion_calls() + "writen playback 4096 -> 4096\n") +
                cycles(2) +
                cycle(4096, "", 4096,
                      measured(2 * cushion + 500, 2000) +
                          "readn capture 2000 -> 2000\nreadn capture 4096 -> 4096\n"
                          "readn capture 4096 -> 4096\nreadn capture 884 -> 884\n") +
                cycles(6));
  // Played, in stretches of frames that each carry the capture delayed by
  // one amount (0 for silence).
  const std::string played = played_stream(0);
  struct part {
    size_t frames;
    size_t delay;
  };
  const part parts[] = {{cushion_frames + 2 * 4096, 16000}, {cushion_frames, 0},
                        {3212, 27788}, {884 + 3 * 4096, 27787}, {6 * 4096, 13499}};
  size_t at = 0;
  for (const part& p : parts) {
    SCOPED_TRACE("frame " + std::to_string(at));
    const size_t bytes = p.frames * bytes_per_sample;
    EXPECT_TRUE(same_bytes(played.substr(at * 3, bytes),
                           p.delay == 0 ? std::string(bytes, '\0')
                                        : delayed_capture(0, at * 3, bytes, p.delay * 3)));
    at += p.frames;
  }
  EXPECT_EQ(played.size(), at * 3);
  EXPECT_EQ(played_stream(1), played);
}

TEST_F(transfer_loop, a_delay_heard_short_at_the_start_or_after_a_stream_comes_back_is_filled_with_silence) {
  // The first looks find a quantum of the cushion played before capture
  // began (a server that started playback first): 2048 frames of silence
  // make it up. After the overrun, 1000 frames are missing.
  configure_plain(cushion_frames + 7 * block_frames);
  script().playback_delays = looks({cushion - 2049, cushion - 2049, cushion - 1001});
  set_result(script().reads, 2, -EPIPE);
  EXPECT_EQ(run(), "\nRX\n\nFinished\n");
  const auto silence = [](long frames) {
    return "avail_update playback -> 4096\nwriten playback " + std::to_string(frames) + " -> " +
           std::to_string(frames) + "\n";
  };
  EXPECT_EQ(describe_calls(),
            run_start() + cycle(4096, "", 4096, measured(cushion - 2049)) +
                cycle(4096, "", 4096, measured(cushion - 2049) + silence(2048)) +
                cycle_of(4096, -EPIPE, "prepare capture\nstart capture\n", 0, "") + cycles(3) +
                cycle(4096, "", 4096, measured(cushion - 1001) + silence(1000)) + cycles(1));
  const std::string played = played_stream(1);
  size_t at = cushion_frames + 2 * block_frames;
  EXPECT_TRUE(same_bytes(played.substr(at * 3, 2048 * 3), std::string(2048 * 3, '\0')));
  at += 2048 + 4 * block_frames;
  EXPECT_TRUE(same_bytes(played.substr(at * 3, 1000 * 3), std::string(1000 * 3, '\0')));
}

TEST_F(transfer_loop, a_delay_that_drifts_with_no_stream_brought_back_is_set_right_after_three_like_looks) {
  // At 44100 the delay is looked at every tenth write. The first look finds
  // it 13000 frames long, the next three 12000 (272 ms): only looks that
  // agree count, and after the fourth 12000 frames are shed, here all from
  // capture, as the ring holds no delay.
  configure_plain(cushion_frames + 42 * block_frames);
  script().playback_delays = looks({cushion - 1, cushion - 1, cushion + 12999, cushion + 11999, cushion + 11999,
                                    cushion + 11999});
  const auto look = [](long playback) {
    return "wait playback 100\navail_update playback -> 4096\nreadn capture 4096 -> 4096\n"
           "writen playback 4096 -> 4096\n" + measured(playback);
  };
  EXPECT_EQ(run(), "\r1 sec\r2 sec\r3 sec\r4 sec\nFinished\n");
  EXPECT_EQ(describe_calls(), run_start() + cycle(4096, "", 4096, measured(cushion - 1)) +
                                  cycle(4096, "", 4096, measured(cushion - 1)) + cycles(9) + look(cushion + 12999) + cycles(9) +
                                  look(cushion + 11999) + cycles(9) + look(cushion + 11999) +
                                  cycles(9) + look(cushion + 11999) +
                                  "readn capture 1 -> 1\nreadn capture 4096 -> 4096\n"
                                  "readn capture 4096 -> 4096\nreadn capture 3807 -> 3807\n");
}

TEST_F(transfer_loop, the_delay_heard_is_first_set_on_two_like_looks_in_a_row_or_the_last_of_a_second) {
  // A server step of 2048 frames falls after the first playback report: the
  // look is not used. The next looks close in on the delay, as the
  // PulseAudio plugin's first reports do, and only the two alike in a row
  // set it: what lies beyond the cushion then is shed.
  configure_plain(cushion_frames + 6 * block_frames);
  script().playback_delays = {cushion + 2548, cushion + 500};
  const auto tail = looks({cushion + 1500, cushion + 1000, cushion + 540, cushion + 500});
  script().playback_delays.insert(script().playback_delays.end(), tail.begin(), tail.end());
  script().capture_delays = looks({2049, 2049, 2049, 2049, 2049});
  EXPECT_EQ(run(), "\nFinished\n");
  EXPECT_EQ(describe_calls(),
            run_start() + cycle(4096, "", 4096, reports(cushion + 2548, 2049, cushion + 500, 2049)) +
                cycle(4096, "", 4096, measured(cushion + 1500, 2049)) +
                cycle(4096, "", 4096, measured(cushion + 1000, 2049)) +
                cycle(4096, "", 4096, measured(cushion + 540, 2049)) +
                cycle(4096, "", 4096,
                      measured(cushion + 500, 2049) +
                          "readn capture 2049 -> 2049\nreadn capture 500 -> 500\n") +
                cycles(1));

  // Looks that never agree set it on the last look of a second's worth of
  // writes (ten at 44100).
  configure_plain(cushion_frames + 11 * block_frames);
  std::string expected = run_start();
  for (long k = 0; k < 10; ++k) {
    script().playback_delays.insert(script().playback_delays.end(), 2, cushion + 1000 - 100 * k);
    expected += cycle(4096, "", 4096, measured(cushion + 1000 - 100 * k, 1));
  }
  EXPECT_EQ(run(), "\r1 sec\nFinished\n");
  EXPECT_EQ(describe_calls(), expected + "readn capture 1 -> 1\nreadn capture 100 -> 100\n" + cycles(1));
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
  // At 32000 frames per second the cushion and the fifth cycle of 4096
  // complete the first second.
  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 10 * block_frames);
  set_result(script().reads, 4, -EPIPE);
  EXPECT_EQ(run(), "\nRX\n\r1 sec\nFinished\n");

  configure(routing_mode::mono_to_one, 0, 1, 0.0f, 32000, 10 * block_frames);
  set_result(script().reads, 5, -EPIPE);
  EXPECT_EQ(run(), "\r1 sec\nRX\n\nFinished\n");
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
  bool interleaved = false;  // the staging blocks' layout, as on a sound server
};

void PrintTo(const routing_case& c, std::ostream* out) { *out << c.name; }

class transfer_loop_routing : public transfer_loop,
                              public testing::WithParamInterface<routing_case> {};

TEST_P(transfer_loop_routing, each_routed_channel_plays_its_input_delayed_by_whole_frames_and_others_stay_silent) {
  const routing_case& c = GetParam();
  constexpr uint64_t cycle_count = 40;
  configure(c.mode, c.input_index, c.output_index, c.delay_seconds, c.sample_rate,
            cycle_count * block_frames, c.interleaved);
  // A whole number of frames, within a frame of the delay asked for, or the
  // cushion when that is longer.
  const size_t delay_offset = std::max(buffers.delay_offset, cushion_frames * bytes_per_sample);
  EXPECT_EQ(delay_offset % bytes_per_sample, 0u);
  EXPECT_NEAR(static_cast<double>(delay_offset / bytes_per_sample),
              std::max<double>(cushion_frames, static_cast<double>(c.sample_rate) * c.delay_seconds),
              1.0);

  EXPECT_EQ(run(), std::string(c.progress) + "\nFinished\n");
  const std::string silence(played_stream(0).size(), '\0');
  for (int32_t channel = 0; channel < plan.device_channel_count; ++channel) {
    SCOPED_TRACE("output channel " + std::to_string(channel));
    const auto routed = std::find(c.routed_outputs.begin(), c.routed_outputs.end(), channel);
    const std::string played = played_stream(channel);
    EXPECT_TRUE(same_bytes(
        played, routed == c.routed_outputs.end()
                    ? silence
                    : delayed_capture(c.routed_inputs[static_cast<size_t>(routed - c.routed_outputs.begin())],
                                      0, played.size(), delay_offset)));
  }
  expect_exact_cycles();
}

INSTANTIATE_TEST_SUITE_P(
    modes, transfer_loop_routing,
    testing::Values(
        // The first two wrap the rings several times.
        routing_case{"mono_to_one_input_3_output_2", routing_mode::mono_to_one, 2, 1, 0.5234f,
                     32000, "\r1 sec\r2 sec\r3 sec\r4 sec", {1}, {2}},
        routing_case{"stereo_input_2_3_to_output_3_4", routing_mode::stereo_to_stereo, 1, 2,
                     0.75f, 48000, "\r1 sec\r2 sec\r3 sec", {2, 3}, {1, 2}},
        routing_case{"stereo_input_5_6_to_output_1_2_without_delay",
                     routing_mode::stereo_to_stereo, 4, 0, 0.0f, 44100, "\r1 sec\r2 sec\r3 sec",
                     {0, 1}, {4, 5}},
        routing_case{"mono_input_4_to_both_of_output_1_2", routing_mode::mono_to_both, 3, 0,
                     0.0333f, 44100, "\r1 sec\r2 sec\r3 sec", {0, 1}, {3, 3}},
        routing_case{"mono_input_1_to_both_of_output_5_6", routing_mode::mono_to_both, 0, 4, 1.0f,
                     96000, "\r1 sec", {4, 5}, {0, 0}},
        routing_case{"stereo_input_1_2_to_output_3_4_interleaved", routing_mode::stereo_to_stereo,
                     0, 2, 0.5f, 44100, "\r1 sec\r2 sec\r3 sec", {2, 3}, {0, 1}, true}),
    [](const testing::TestParamInfo<routing_case>& info) { return info.param.name; });

}  // namespace
