// Opening, configuring, preparing and closing the two streams, seen from
// outside: the real binary runs against alsa-lib devices defined in
// tests/alsa/, and where no stock plugin produces a fault (an install that
// fails, a refused access type, a granted period other than the one asked
// for) a preloaded stand-in for part of alsa-lib injects it and logs the
// library calls the program makes, in order.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

constexpr int bytes_per_sample = 3;

// What the stand-in logged and how the run ended.
struct logged_run {
  program_result result;
  std::string log;
};

// The environment that makes both the file-backed test device and the fault
// devices known to alsa-lib, with their files in `folder`.
environment_list fault_device_environment(const std::string& folder) {
  return {
      {"ALSA_CONFIG_PATH", std::string("/usr/share/alsa/alsa.conf:") + QUAVELOR_TESTS_DIR +
                               "/alsa/test_devices.conf:" + QUAVELOR_TESTS_DIR +
                               "/alsa/fault_devices.conf"},
      {"QUAVELOR_TEST_DIR", folder},
  };
}

// Runs quavelor on the test devices with the stand-in preloaded, logging into
// the run's own folder. `steering` holds the stand-in's QUAVELOR_SHIM_*
// settings (none: it only logs).
logged_run run_with_shim(const std::vector<std::string>& arguments,
                         const environment_list& steering = {},
                         const std::string& existing_folder = "", const run_options& options = {}) {
  const std::string folder = existing_folder.empty() ? make_temporary_folder() : existing_folder;
  const std::string log_path = folder + "/calls.log";
  environment_list environment = with_shim(fault_device_environment(folder), steering);
  environment.emplace_back("QUAVELOR_SHIM_LOG", log_path);
  logged_run run{run_quavelor(arguments, environment, options), ""};
  run.log = read_file(log_path);
  return run;
}

// Standard error without alsa-lib's own diagnostics ("ALSA lib file:line:..."),
// which the library writes before the program sees the failure and which
// name library source lines.
std::string program_errors(const std::string& err) {
  std::istringstream lines(err);
  std::string kept;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("ALSA lib ", 0) == 0) continue;
    kept += line;
    if (!lines.eof()) kept += "\n";
  }
  return kept;
}

std::string text_of(int error) { return snd_strerror(error); }

// The status lines of a mode 1 run on channels 1 and 1, no delay, rate 44100
// and timeout 0, as the arguments mono_arguments(device) give.
std::string mono_echo(const std::string& device) {
  return "Device = " + device +
         "\nMode = 1 (mono in -> mono out)\nInput Channel = 1\nOutput Channel = 1\n"
         "Time delay ~ 0.000 sec\nSample rate = 44100\nTime out at 0 sec\n";
}

std::vector<std::string> mono_arguments(const std::string& device) {
  return {device, "1", "1", "1", "0", "44100", "0"};
}

// Mode 2 from channel 1 to channels 3+4: the device is opened with 4 channels.
std::string four_channel_echo(const std::string& device, const std::string& rate) {
  return "Device = " + device +
         "\nMode = 2 (stereo in -> stereo out)\nInput Channels = 1+2\nOutput Channels = 3+4\n"
         "Time delay ~ 0.000 sec\nSample rate = " +
         rate + "\nTime out at 0 sec\n";
}

std::vector<std::string> four_channel_arguments(const std::string& device,
                                                const std::string& rate) {
  return {device, "2", "1", "3", "0", rate, "0"};
}

// The calls that configure one stream, as the stand-in logs them.
std::string configuration_calls(const std::string& direction, const std::string& device,
                                int channels, int rate, int period) {
  return "open " + direction + " " + device + " 0\nany " + direction + "\naccess " + direction +
         " RW_NONINTERLEAVED\nformat " + direction + " S24_3LE\nchannels " + direction + " " +
         std::to_string(channels) + "\nrate " + direction + " " + std::to_string(rate) +
         "\nperiod " + direction + " " + std::to_string(period) + "\nbuffer " + direction +
         (direction == "playback" ? " 32768" : " 16384") + "\ninstall " + direction + "\n";
}

// The read-back after the capture install, in its fixed order.
constexpr const char* read_back_calls =
    "get buffer capture\nget buffer playback\nget period capture\nget period playback\n"
    "get channels playback\nget channels capture\nget rate playback\nget rate capture\n";

}  // namespace

// Device faults that alsa-lib's stock plugins produce.

TEST(stream_setup, an_unknown_device_reports_the_playback_open_failure_and_never_opens_capture) {
  const logged_run run = run_with_shim(mono_arguments("quavelor_no_such_device"));
  EXPECT_EQ(run.result.out, mono_echo("quavelor_no_such_device"));
  EXPECT_EQ(program_errors(run.result.err),
            "Playback device could not be opened: " + text_of(-ENOENT) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log, "open playback quavelor_no_such_device 0\n");
}

TEST(stream_setup, a_playback_side_without_3_byte_24_bit_samples_reports_the_playback_format) {
  const logged_run run = run_with_shim(mono_arguments("quavelor_alaw_only"));
  EXPECT_EQ(run.result.out, mono_echo("quavelor_alaw_only"));
  EXPECT_EQ(run.result.err, "Problem setting playback format: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log.find("capture"), std::string::npos) << run.log;

  // Read as one stream, as on a console, the status lines come first.
  const logged_run merged = run_with_shim(mono_arguments("quavelor_alaw_only"), {}, "", {true});
  EXPECT_EQ(merged.result.out, mono_echo("quavelor_alaw_only") +
                                   "Problem setting playback format: " + text_of(-EINVAL) + "\n");
}

TEST(stream_setup, a_capture_side_that_cannot_open_is_reported_after_playback_is_set_up) {
  const logged_run run = run_with_shim(mono_arguments("quavelor_capture_missing_file"));
  EXPECT_EQ(run.result.out, mono_echo("quavelor_capture_missing_file"));
  EXPECT_EQ(program_errors(run.result.err),
            "unable to open pcm record device: " + text_of(-ENOENT) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log, configuration_calls("playback", "quavelor_capture_missing_file", 2, 44100,
                                         4096) +
                         "get period playback\nopen capture quavelor_capture_missing_file 0\n");
}

TEST(stream_setup, a_capture_side_without_3_byte_24_bit_samples_reports_the_recording_format) {
  const logged_run run = run_with_shim(mono_arguments("quavelor_capture_alaw_only"));
  EXPECT_EQ(run.result.out, mono_echo("quavelor_capture_alaw_only"));
  EXPECT_EQ(run.result.err, "Problem setting recording format: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
}

TEST(stream_setup, a_playback_side_with_too_few_channels_reports_the_playback_channels) {
  const logged_run run = run_with_shim(four_channel_arguments("quavelor_two_channels", "44100"));
  EXPECT_EQ(run.result.out, four_channel_echo("quavelor_two_channels", "44100"));
  EXPECT_EQ(run.result.err, "Problem setting playback channels: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log.find("capture"), std::string::npos) << run.log;
}

TEST(stream_setup, a_capture_side_with_too_few_channels_reports_the_recording_channels) {
  const logged_run run =
      run_with_shim(four_channel_arguments("quavelor_capture_two_channels", "44100"));
  EXPECT_EQ(run.result.out, four_channel_echo("quavelor_capture_two_channels", "44100"));
  EXPECT_EQ(run.result.err, "Problem setting recording channels: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
}

TEST(stream_setup, a_device_with_exactly_the_channels_asked_for_is_accepted) {
  const logged_run run = run_with_shim(mono_arguments("quavelor_two_channels"));
  EXPECT_EQ(run.result.out, mono_echo("quavelor_two_channels") + "\nFinished\n");
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.result.exit_code, 0);
}

// Device faults injected by the stand-in.

// The stand-in refuses every access of the stream: non-interleaved, and then
// interleaved.
TEST(stream_setup, a_playback_side_refusing_both_accesses_reports_the_playback_access) {
  const logged_run run = run_with_shim(
      mono_arguments("null"),
      {{"QUAVELOR_SHIM_FAIL", "access playback"}, {"QUAVELOR_SHIM_ERRNO", std::to_string(EINVAL)}});
  EXPECT_EQ(run.result.out, mono_echo("null"));
  EXPECT_EQ(run.result.err, "Problem setting playback access: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log,
            "open playback null 0\nany playback\naccess playback RW_NONINTERLEAVED\n"
            "access playback RW_INTERLEAVED\n");
}

TEST(stream_setup, a_capture_side_refusing_both_accesses_reports_the_recording_access) {
  const logged_run run = run_with_shim(
      mono_arguments("null"),
      {{"QUAVELOR_SHIM_FAIL", "access capture"}, {"QUAVELOR_SHIM_ERRNO", std::to_string(EINVAL)}});
  EXPECT_EQ(run.result.out, mono_echo("null"));
  EXPECT_EQ(run.result.err, "Problem setting recording access: " + text_of(-EINVAL) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log, configuration_calls("playback", "null", 2, 44100, 4096) +
                         "get period playback\nopen capture null 0\nany capture\n"
                         "access capture RW_NONINTERLEAVED\naccess capture RW_INTERLEAVED\n");
}

TEST(stream_setup, a_refused_playback_install_reports_the_parameters_and_never_opens_capture) {
  const logged_run run = run_with_shim(
      mono_arguments("null"),
      {{"QUAVELOR_SHIM_FAIL", "install playback"}, {"QUAVELOR_SHIM_ERRNO", std::to_string(EIO)}});
  EXPECT_EQ(run.result.out, mono_echo("null"));
  EXPECT_EQ(run.result.err, "Problem setting playback parameters: " + text_of(-EIO) + "\n");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log, configuration_calls("playback", "null", 2, 44100, 4096));
}

TEST(stream_setup, a_refused_capture_install_prints_the_driver_report_of_both_streams) {
  // Playback is granted a 1000-frame period, which capture then asks for; the
  // capture buffer is 12000 frames, so every column and row differs from its
  // neighbour.
  const logged_run run = run_with_shim(four_channel_arguments("null", "48000"),
                                       {{"QUAVELOR_SHIM_FAIL", "install capture"},
                                        {"QUAVELOR_SHIM_ERRNO", std::to_string(EBUSY)},
                                        {"QUAVELOR_SHIM_PERIOD", "playback 1000"},
                                        {"QUAVELOR_SHIM_BUFFER", "capture 12000"}});
  EXPECT_EQ(run.result.out, four_channel_echo("null", "48000") +
                                "Could not set record hardware parameters: " + text_of(-EBUSY) +
                                "\n"
                                "Returned Driver Parameters:\n"
                                "\tBuf 1\tBuf 2\tRate\tChannels\n"
                                "Play\t1000\t32768\t48000\t4\n"
                                "Record\t1000\t12000\t48000\t4\n"
                                "-------------------------\n\n");
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.result.exit_code, 1);
  EXPECT_EQ(run.log, configuration_calls("playback", "null", 4, 48000, 4096) +
                         "get period playback\n" +
                         configuration_calls("capture", "null", 4, 48000, 1000) + read_back_calls);
}

TEST(stream_setup, capture_asks_for_the_period_playback_was_granted) {
  const logged_run run =
      run_with_shim(mono_arguments("null"), {{"QUAVELOR_SHIM_PERIOD", "playback 1000"}});
  EXPECT_EQ(run.result.out, mono_echo("null") + "\nFinished\n");
  EXPECT_EQ(run.result.exit_code, 0);
  EXPECT_NE(run.log.find("period playback 4096\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("period capture 1000\n"), std::string::npos) << run.log;
}

TEST(stream_setup, streams_are_set_up_prepared_drained_and_closed_in_the_fixed_order) {
  const std::string folder = make_temporary_folder();
  write_file(folder + "/in.raw", std::string(6 * 4096, '\0'));
  const logged_run run = run_with_shim(mono_arguments("quavelor_file"), {}, folder);
  EXPECT_EQ(run.result.out, mono_echo("quavelor_file") + "\nFinished\n");
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.result.exit_code, 0);
  EXPECT_EQ(run.log, configuration_calls("playback", "quavelor_file", 2, 44100, 4096) +
                         "get period playback\n" +
                         configuration_calls("capture", "quavelor_file", 2, 44100, 4096) +
                         read_back_calls +
                         "prepare playback\nprepare capture\n"
                         "drain playback\ndrain capture\nclose playback\nclose capture\n");
}

TEST(stream_setup, a_playback_drain_gets_the_time_its_buffer_takes_to_play_and_a_margin_then_is_cut) {
  // The granted buffer, 32768 frames at 44100, takes 743 ms to play. A drain
  // that lasts 870 ms ends by itself; one that would last 5 s is dropped
  // after the buffer's time and the margin, and the run still ends.
  for (const int drain_ms : {870, 5000}) {
    SCOPED_TRACE(drain_ms);
    const std::string folder = make_temporary_folder();
    write_file(folder + "/in.raw", std::string(6 * 4096, '\0'));
    const logged_run run = run_with_shim(mono_arguments("quavelor_file"),
                                         {{"QUAVELOR_SHIM_DRAIN_MS", std::to_string(drain_ms)}},
                                         folder);
    EXPECT_EQ(run.result.exit_code, 0);
    const bool dropped = run.log.find("drain playback\ndrop playback\n") != std::string::npos;
    EXPECT_EQ(dropped, drain_ms == 5000) << run.log;
  }
}

// Complete runs on the file-backed device: playback writes interleaved frames
// of the device's channel count to out.raw.

namespace {

struct full_run_case {
  std::vector<std::string> arguments;  // mode, input and output channel
  std::string echo;                    // their status lines
  int device_channels;
};

void expect_whole_frames_played(const full_run_case& run_case) {
  constexpr int sample_rate = 44100;
  constexpr int frames_per_block = 4096;
  const auto frame_bytes = static_cast<size_t>(run_case.device_channels * bytes_per_sample);
  const std::string folder = make_temporary_folder();
  write_file(folder + "/in.raw",
             std::string(frame_bytes * (sample_rate + frames_per_block), '\x5a'));

  std::vector<std::string> arguments{"quavelor_file"};
  arguments.insert(arguments.end(), run_case.arguments.begin(), run_case.arguments.end());
  arguments.insert(arguments.end(), {"0", "44100", "1"});
  const program_result result = run_quavelor(arguments, test_device_environment(folder));

  EXPECT_EQ(result.out, "Device = quavelor_file\n" + run_case.echo +
                            "Time delay ~ 0.000 sec\nSample rate = 44100\nTime out at 1 sec\n"
                            "\nFinished\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
  // One second of frames, and at most one block more: the run stops within
  // the cycle that reaches its budget.
  const size_t played = read_file(folder + "/out.raw").size();
  EXPECT_EQ(played % frame_bytes, 0u) << played;
  EXPECT_GE(played / frame_bytes, size_t{sample_rate}) << played;
  EXPECT_LT(played / frame_bytes, size_t{sample_rate + frames_per_block}) << played;
}

}  // namespace

TEST(stream_run, mode_1_on_channels_1_and_1_plays_two_channel_frames) {
  expect_whole_frames_played({{"1", "1", "1"},
                              "Mode = 1 (mono in -> mono out)\nInput Channel = 1\n"
                              "Output Channel = 1\n",
                              2});
}

TEST(stream_run, mode_2_to_output_3_plays_four_channel_frames) {
  expect_whole_frames_played({{"2", "1", "3"},
                              "Mode = 2 (stereo in -> stereo out)\nInput Channels = 1+2\n"
                              "Output Channels = 3+4\n",
                              4});
}

TEST(stream_run, mode_3_from_input_2_plays_four_channel_frames) {
  expect_whole_frames_played({{"3", "2", "1"},
                              "Mode = 3 (mono in -> stereo out)\nInput Channel = 2\n"
                              "Output Channels = 1+2\n",
                              4});
}
