// Whole runs of the program on the file-backed test device: capture reads
// interleaved frames from in.raw, playback writes them to out.raw. The device
// is unpaced and every cycle moves a full block, so a run takes milliseconds
// however many seconds of audio it plays.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/ring_buffer.h"
#include "engine/stream_start.h"
#include "engine/transfer_loop.h"
#include "support/run_program.h"

namespace {

constexpr uint64_t cycle_frames = 4096;
constexpr uint32_t sample_mask = (1u << 24) - 1;

// Sample k of input channel c: a counter per channel that does not repeat
// within any run here.
uint32_t input_sample(int32_t channel, uint64_t k) {
  return static_cast<uint32_t>((k * 7 + static_cast<uint64_t>(channel) * 1000003) & sample_mask);
}

std::string input_frames(int32_t channel_count, uint64_t frame_count) {
  std::string bytes(frame_count * static_cast<uint64_t>(channel_count) * bytes_per_sample, '\0');
  size_t at = 0;
  for (uint64_t k = 0; k < frame_count; ++k) {
    for (int32_t c = 0; c < channel_count; ++c) {
      const uint32_t value = input_sample(c, k);
      bytes[at++] = static_cast<char>(value & 0xff);
      bytes[at++] = static_cast<char>((value >> 8) & 0xff);
      bytes[at++] = static_cast<char>((value >> 16) & 0xff);
    }
  }
  return bytes;
}

uint32_t sample_at(const std::string& frames, int32_t channel_count, uint64_t k, int32_t channel) {
  const size_t at = (k * static_cast<uint64_t>(channel_count) + static_cast<uint64_t>(channel)) *
                    bytes_per_sample;
  return static_cast<uint32_t>(static_cast<unsigned char>(frames[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(frames[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(frames[at + 2])) << 16;
}

// A run's folder, removed with its raw files when the test is done: they take
// megabytes.
struct run_folder {
  run_folder() : path(make_temporary_folder()) {}
  ~run_folder() { std::filesystem::remove_all(path); }
  run_folder(const run_folder&) = delete;
  run_folder& operator=(const run_folder&) = delete;
  const std::string path;
};

struct route {
  int32_t output_channel;  // zero-based device channels
  int32_t input_channel;
};

struct end_to_end_case {
  const char* name;
  std::vector<std::string> arguments;  // after the device name
  int32_t device_channel_count;
  std::vector<route> routes;
  const char* expected_out;
  environment_list steering = {};  // the alsa-lib stand-in's settings, if it is to be preloaded
  uint64_t restarted_at = 0;  // the frame from which a new cushion plays, if the streams restart
};

void PrintTo(const end_to_end_case& c, std::ostream* out) { *out << c.name; }

class end_to_end : public testing::TestWithParam<end_to_end_case> {};

TEST_P(end_to_end, routed_outputs_play_their_inputs_delayed_by_whole_frames_and_the_rest_stay_silent) {
  const end_to_end_case& c = GetParam();
  const float delay_seconds = static_cast<float>(std::strtod(c.arguments[3].c_str(), nullptr));
  const auto sample_rate = static_cast<uint32_t>(std::stoul(c.arguments[4]));
  const uint64_t frame_budget = uint64_t{sample_rate} * std::stoul(c.arguments[5]);
  // The run ends with the first cycle that reaches the budget.
  const uint64_t played_frames = (frame_budget + cycle_frames - 1) / cycle_frames * cycle_frames;
  const uint64_t asked_frames = delay_offset_for(delay_seconds, sample_rate) / bytes_per_sample;
  // A whole number of frames, within a frame of the delay asked for; a delay
  // shorter than the cushion comes out as the cushion.
  EXPECT_NEAR(static_cast<double>(asked_frames), static_cast<double>(sample_rate) * delay_seconds,
              1.0);
  const uint64_t delay_frames = std::max<uint64_t>(asked_frames, cushion_frames);
  const uint64_t restart_cushion = cushion_for(asked_frames);

  // Once as the device is, once with it taking interleaved access only, as a
  // sound server's plugin does: the bytes played must be the same.
  std::string first_out;
  for (const bool interleaved : {false, true}) {
    SCOPED_TRACE(interleaved ? "interleaved" : "non-interleaved");
    const run_folder run;
    const std::string& folder = run.path;
    write_file(folder + "/in.raw", input_frames(c.device_channel_count, played_frames + cycle_frames));
    std::vector<std::string> arguments{"quavelor_file"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    environment_list steering = c.steering;
    if (interleaved) steering.emplace_back("QUAVELOR_SHIM_REFUSE_ACCESS", "RW_NONINTERLEAVED");
    const environment_list environment = test_device_environment(folder);
    const program_result result = run_quavelor(
        arguments, steering.empty() ? environment : with_shim(environment, steering));

    EXPECT_EQ(result.out, c.expected_out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    const std::string out = read_file(folder + "/out.raw");
    const uint64_t frame_bytes = static_cast<uint64_t>(c.device_channel_count) * bytes_per_sample;
    ASSERT_EQ(out.size(), played_frames * frame_bytes);
    if (interleaved) {
      EXPECT_TRUE(out == first_out) << "interleaved access played other bytes";
      continue;
    }
    first_out = out;

    std::vector<int32_t> sources(static_cast<size_t>(c.device_channel_count), -1);
    for (const route& r : c.routes) sources[static_cast<size_t>(r.output_channel)] = r.input_channel;
    for (int32_t channel = 0; channel < c.device_channel_count; ++channel) {
      const int32_t source = sources[static_cast<size_t>(channel)];
      for (uint64_t k = 0; k < played_frames; ++k) {
        // A restart plays a cushion of silence and goes on with the ring's
        // audio: on this device no time passes, so none of it is late.
        const bool restarted = c.restarted_at > 0 && k >= c.restarted_at;
        const bool cushion = restarted && k < c.restarted_at + restart_cushion;
        const uint64_t at = restarted ? k - restart_cushion : k;
        const uint32_t expected = source < 0 || cushion || at < delay_frames
                                      ? 0
                                      : input_sample(source, at - delay_frames);
        const uint32_t played = sample_at(out, c.device_channel_count, k, channel);
        if (played != expected) {
          ADD_FAILURE() << "output channel " << channel << " frame " << k << " is " << played
                        << " where " << expected << " was expected (delay " << delay_frames
                        << " frames)";
          break;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    runs, end_to_end,
    testing::Values(
        end_to_end_case{"mono_input_3_to_output_2_without_delay_at_32000",
                        {"1", "3", "2", "0", "32000", "2"},
                        4,
                        {{1, 2}},
                        "Device = quavelor_file\nMode = 1 (mono in -> mono out)\n"
                        "Input Channel = 3\nOutput Channel = 2\nTime delay ~ 0.000 sec\n"
                        "Sample rate = 32000\nTime out at 2 sec\n\r1 sec\nFinished\n"},
        end_to_end_case{"mono_input_1_to_output_4_half_a_second_late_at_44100",
                        {"1", "1", "4", "0.5", "44100", "3"},
                        4,
                        {{3, 0}},
                        "Device = quavelor_file\nMode = 1 (mono in -> mono out)\n"
                        "Input Channel = 1\nOutput Channel = 4\nTime delay ~ 0.500 sec\n"
                        "Sample rate = 44100\nTime out at 3 sec\n\r1 sec\r2 sec\nFinished\n"},
        end_to_end_case{"mono_input_2_to_output_1_longer_delay_than_the_run_at_48000",
                        {"1", "2", "1", "3", "48000", "2"},
                        2,
                        {{0, 1}},
                        "Device = quavelor_file\nMode = 1 (mono in -> mono out)\n"
                        "Input Channel = 2\nOutput Channel = 1\nTime delay ~ 3.000 sec\n"
                        "Sample rate = 48000\nTime out at 2 sec\n\r1 sec\nFinished\n"},
        end_to_end_case{"stereo_inputs_1_2_to_outputs_1_2_without_delay_at_44100",
                        {"2", "1", "1", "0", "44100", "1"},
                        2,
                        {{0, 0}, {1, 1}},
                        "Device = quavelor_file\nMode = 2 (stereo in -> stereo out)\n"
                        "Input Channels = 1+2\nOutput Channels = 1+2\nTime delay ~ 0.000 sec\n"
                        "Sample rate = 44100\nTime out at 1 sec\n\nFinished\n"},
        end_to_end_case{"stereo_inputs_2_3_to_outputs_3_4_a_second_late_at_48000",
                        {"2", "2", "3", "1", "48000", "2"},
                        4,
                        {{2, 1}, {3, 2}},
                        "Device = quavelor_file\nMode = 2 (stereo in -> stereo out)\n"
                        "Input Channels = 2+3\nOutput Channels = 3+4\nTime delay ~ 1.000 sec\n"
                        "Sample rate = 48000\nTime out at 2 sec\n\r1 sec\nFinished\n"},
        end_to_end_case{"stereo_inputs_3_4_to_outputs_5_6_1_234_seconds_late_at_96000",
                        {"2", "3", "5", "1.234", "96000", "3"},
                        6,
                        {{4, 2}, {5, 3}},
                        "Device = quavelor_file\nMode = 2 (stereo in -> stereo out)\n"
                        "Input Channels = 3+4\nOutput Channels = 5+6\nTime delay ~ 1.234 sec\n"
                        "Sample rate = 96000\nTime out at 3 sec\n\r1 sec\r2 sec\nFinished\n"},
        end_to_end_case{"mono_input_2_to_outputs_1_2_half_a_second_late_at_96000",
                        {"3", "2", "1", "0.5", "96000", "1"},
                        4,
                        {{0, 1}, {1, 1}},
                        "Device = quavelor_file\nMode = 3 (mono in -> stereo out)\n"
                        "Input Channel = 2\nOutput Channels = 1+2\nTime delay ~ 0.500 sec\n"
                        "Sample rate = 96000\nTime out at 1 sec\n\nFinished\n"},
        end_to_end_case{"mono_input_4_to_outputs_3_4_1_234_seconds_late_at_44100",
                        {"3", "4", "3", "1.234", "44100", "2"},
                        6,
                        {{2, 3}, {3, 3}},
                        "Device = quavelor_file\nMode = 3 (mono in -> stereo out)\n"
                        "Input Channel = 4\nOutput Channels = 3+4\nTime delay ~ 1.234 sec\n"
                        "Sample rate = 44100\nTime out at 2 sec\n\r1 sec\nFinished\n"},
        // A read that fails as after an overrun moves nothing and plays
        // nothing; both streams start again behind a new cushion, and the
        // stream played goes on with the one captured, delayed.
        end_to_end_case{"mono_input_1_to_output_2_half_a_second_late_with_an_overrun_at_44100",
                        {"1", "1", "2", "0.5", "44100", "3"},
                        2,
                        {{1, 0}},
                        "Device = quavelor_file\nMode = 1 (mono in -> mono out)\n"
                        "Input Channel = 1\nOutput Channel = 2\nTime delay ~ 0.500 sec\n"
                        "Sample rate = 44100\nTime out at 3 sec\n\nRX\n\r1 sec\r2 sec\nFinished\n",
                        {{"QUAVELOR_SHIM_OVERRUN", "5"}},
                        cushion_for(22050) + 5 * cycle_frames},
        // A device with no clock, as this file is, cannot run dry: a read
        // held up for longer than the cushion lasts starts nothing again.
        end_to_end_case{"mono_input_1_to_outputs_1_2_half_a_second_late_held_up_at_32000",
                        {"3", "1", "1", "0.5", "32000", "3"},
                        2,
                        {{0, 0}, {1, 0}},
                        "Device = quavelor_file\nMode = 3 (mono in -> stereo out)\n"
                        "Input Channel = 1\nOutput Channels = 1+2\nTime delay ~ 0.500 sec\n"
                        "Sample rate = 32000\nTime out at 3 sec\n\r1 sec\r2 sec\nFinished\n",
                        {{"QUAVELOR_SHIM_READ_MS", "6 500"}}}),
    [](const testing::TestParamInfo<end_to_end_case>& info) { return info.param.name; });

TEST(end_to_end_marks, an_overrun_mark_reaches_a_pipe_while_the_run_goes_on) {
  // The run is held up for 5 s after the overrun and killed after 2.5 s: what
  // it printed up to the mark must already be out.
  const run_folder run;
  write_file(run.path + "/in.raw", input_frames(2, 10 * cycle_frames));
  const program_result result = run_quavelor(
      {"quavelor_file", "1", "1", "1", "0", "44100", "3"},
      with_shim(test_device_environment(run.path),
                {{"QUAVELOR_SHIM_OVERRUN", "2"}, {"QUAVELOR_SHIM_PAUSE_MS", "5000"}}),
      {false, 2500});
  EXPECT_EQ(result.out,
            "Device = quavelor_file\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n"
            "Output Channel = 1\nTime delay ~ 0.000 sec\nSample rate = 44100\nTime out at 3 sec\n"
            "\nRX\n");
  EXPECT_EQ(result.signal, SIGKILL);
}

TEST(end_to_end_timeout, a_timeout_of_0_moves_no_audio_and_finishes_right_after_the_status_lines) {
  const run_folder run;
  const std::string& folder = run.path;
  write_file(folder + "/in.raw", input_frames(2, 4 * cycle_frames));
  const program_result result = run_quavelor({"quavelor_file", "2", "1", "1", "0.5", "44100", "0"},
                                             test_device_environment(folder));
  EXPECT_EQ(result.out,
            "Device = quavelor_file\nMode = 2 (stereo in -> stereo out)\n"
            "Input Channels = 1+2\nOutput Channels = 1+2\nTime delay ~ 0.500 sec\n"
            "Sample rate = 44100\nTime out at 0 sec\n\nFinished\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
  // The playback file is created when the stream opens and stays empty.
  struct stat status {};
  ASSERT_EQ(stat((folder + "/out.raw").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
}

}  // namespace
