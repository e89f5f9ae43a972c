// The command line, seen from outside: the real binary is run with each
// argument list, and its standard output and standard error are compared byte
// for byte and its exit status checked.
//
// Besides options (a first argument that begins with a hyphen, which opens
// no device), three kinds of run are checked:
// - refusals, which end before any device is opened (the device name given
//   is one that does not exist, so a refusal missed would show as a device
//   error instead);
// - accepted settings run on alsa-lib's "null" device with timeout 0: the
//   status lines, then an empty line and "Finished", exit status 0;
// - accepted settings whose timeout is not 0 (or is absent), run on a device
//   that does not exist: the status lines, then the device error.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/run_program.h"

namespace {

constexpr const char* missing_device = "nonexistent_device";
constexpr const char* device_error =
    "Playback device could not be opened: No such file or directory\n";
constexpr const char* closing_lines = "\nFinished\n";

struct console_case {
  std::vector<std::string> arguments;
  std::vector<std::string> lines;  // the expected status lines, without their newlines
};

std::string joined_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string described(const std::vector<std::string>& arguments) {
  std::string text = "arguments:";
  for (const std::string& argument : arguments) text += " [" + argument + "]";
  return text;
}

// alsa-lib writes its own diagnostics ("ALSA lib pcm.c:NNNN:(...) ...") to
// standard error; their wording and line numbers belong to the library
// version, so they are dropped before the program's own text is compared.
std::string without_library_diagnostics(const std::string& err) {
  std::string kept;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string line = err.substr(start, end - start);
    if (line.rfind("ALSA lib ", 0) != 0) kept += line;
    start = end;
  }
  return kept;
}

void expect_refusals(const std::vector<console_case>& cases) {
  for (const console_case& c : cases) {
    SCOPED_TRACE(described(c.arguments));
    const program_result result = run_quavelor(c.arguments);
    EXPECT_EQ(result.out, joined_lines(c.lines));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.signal, 0);
  }
}

void expect_complete_runs(const std::vector<console_case>& cases) {
  for (const console_case& c : cases) {
    SCOPED_TRACE(described(c.arguments));
    const program_result result = run_quavelor(c.arguments);
    EXPECT_EQ(result.out, joined_lines(c.lines) + closing_lines);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.signal, 0);
  }
}

void expect_device_errors(const std::vector<console_case>& cases) {
  for (const console_case& c : cases) {
    SCOPED_TRACE(described(c.arguments));
    const program_result result = run_quavelor(c.arguments);
    EXPECT_EQ(result.out, joined_lines(c.lines));
    EXPECT_EQ(without_library_diagnostics(result.err), device_error);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.signal, 0);
  }
}

}  // namespace

TEST(command_line, only_a_device_name_takes_every_default) {
  expect_device_errors({
      {{missing_device},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 300 sec"}},
  });
}

TEST(command_line, the_null_device_with_timeout_0_runs_the_defaults_to_the_closing_line) {
  expect_complete_runs({
      {{"null", "1", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, modes_1_to_3_echo_their_label_and_any_other_mode_becomes_mode_1) {
  expect_complete_runs({
      {{"null", "2", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 1+2",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "3", "1", "3", "3", "44100", "0"},
       {"Device = null", "Mode = 3 (mono in -> stereo out)", "Input Channel = 1",
        "Output Channels = 3+4", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "0", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "4", "2", "3", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 2",
        "Output Channel = 3", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "stereo", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "-2", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, mode_2_without_channel_arguments_echoes_both_pairs_from_1) {
  expect_device_errors({
      {{missing_device, "2"},
       {"Device = nonexistent_device", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 1+2",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 300 sec"}},
      {{missing_device, "3"},
       {"Device = nonexistent_device", "Mode = 3 (mono in -> stereo out)", "Input Channel = 1",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 300 sec"}},
  });
}

TEST(command_line, integers_are_read_in_base_10_up_to_the_first_non_digit) {
  expect_complete_runs({
      // Leading blanks and a plus sign are taken.
      {{"null", " 2", "+3", "\t4", "3", "  48000", "0"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 3+4",
        "Output Channels = 4+5", "Time delay ~ 3.000 sec", "Sample rate = 48000",
        "Time out at 0 sec"}},
      // Reading stops at the first character that is not a digit.
      {{"null", "3abc", "2.9", "1e3", "3", "32000Hz", "0 sec"},
       {"Device = null", "Mode = 3 (mono in -> stereo out)", "Input Channel = 2",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 32000",
        "Time out at 0 sec"}},
      // Base 10 only: "0x10" reads as 0, which is not a mode.
      {{"null", "0x2", "1", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      // A timeout with no digits reads as 0.
      {{"null", "1", "1", "1", "3", "44100", "never"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, integers_keep_only_their_low_32_bits) {
  expect_complete_runs({
      // 2^32 + 2 is mode 2; 2^32 + 1 and -(2^32 - 1) are channel 1;
      // 2^32 + 32000 is rate 32000; a timeout of 2^32 is 0.
      {{"null", "4294967298", "4294967297", "-4294967295", "3", "4294999296", "4294967296"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 1+2",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 32000",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, delays_are_read_as_decimals_and_narrowed_to_single_precision) {
  const std::vector<std::string> head = {"Device = null", "Mode = 1 (mono in -> mono out)",
                                         "Input Channel = 1", "Output Channel = 1"};
  const std::vector<std::string> tail = {"Sample rate = 44100", "Time out at 0 sec"};
  const std::pair<std::string, std::string> delays[] = {
      {"0", "0.000"},
      {"600", "600.000"},
      // Within half a unit in the last place of 600 in single precision.
      {"600.00001", "600.000"},
      {"0.0005", "0.001"},
      // 1.2345 in double precision lies below the midpoint and would show
      // 1.234; in single precision it lies above.
      {"1.2345", "1.235"},
      {"1e2", "100.000"},
      {"0x10", "16.000"},
      {" 2.5", "2.500"},
      {"2.5 sec", "2.500"},
      {"1,5", "1.000"},
      // Not a number at all: 0, and the run goes on without delay.
      {"abc", "0.000"},
      {"", "0.000"},
      // Negative zero, typed or rounded to, is not below zero.
      {"-0", "-0.000"},
      {"-1e-50", "-0.000"},
  };
  std::vector<console_case> cases;
  for (const auto& [text, shown] : delays) {
    std::vector<std::string> lines = head;
    lines.push_back("Time delay ~ " + shown + " sec");
    lines.insert(lines.end(), tail.begin(), tail.end());
    cases.push_back({{"null", "1", "1", "1", text, "44100", "0"}, lines});
  }
  expect_complete_runs(cases);
}

TEST(command_line, sample_rate_32000_and_channel_256_are_accepted) {
  expect_complete_runs({
      {{"null", "1", "256", "256", "0", "32000", "0"},
       {"Device = null", "Mode = 1 (mono in -> mono out)", "Input Channel = 256",
        "Output Channel = 256", "Time delay ~ 0.000 sec", "Sample rate = 32000",
        "Time out at 0 sec"}},
      // The pair starting at 256 opens 258 channels.
      {{"null", "2", "256", "1", "3", "44100", "0"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 256+257",
        "Output Channels = 1+2", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "2", "1", "256", "3", "44100", "0"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 1+2",
        "Output Channels = 256+257", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 0 sec"}},
      {{"null", "3", "256", "256", "3", "48000", "0"},
       {"Device = null", "Mode = 3 (mono in -> stereo out)", "Input Channel = 256",
        "Output Channels = 256+257", "Time delay ~ 3.000 sec", "Sample rate = 48000",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, arguments_after_the_seventh_are_ignored) {
  expect_complete_runs({
      {{"null", "2", "3", "5", "1.5", "48000", "0", "7", "-1", "nan"},
       {"Device = null", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 3+4",
        "Output Channels = 5+6", "Time delay ~ 1.500 sec", "Sample rate = 48000",
        "Time out at 0 sec"}},
  });
}

TEST(command_line, a_rate_without_a_timeout_runs_for_300_seconds) {
  expect_device_errors({
      {{missing_device, "1", "1", "1", "3", "48000"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 48000",
        "Time out at 300 sec"}},
      // 300 s at the largest rate is far beyond 32 bits of frames.
      {{missing_device, "1", "1", "1", "3", "2147483647"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 2147483647",
        "Time out at 300 sec"}},
  });
}

TEST(command_line, timeouts_are_echoed_unwrapped_at_any_accepted_rate) {
  const std::pair<std::string, std::string> rates_and_timeouts[] = {
      {"32000", "60"},
      {"44100", "60"},
      {"192000", "60"},
      // 100000 s at 44100 frames per second is 4410000000 frames.
      {"44100", "100000"},
      {"2147483647", "2147483647"},
      {"32000", "1"},
  };
  std::vector<console_case> cases;
  for (const auto& [rate, timeout] : rates_and_timeouts) {
    cases.push_back({{missing_device, "1", "1", "1", "3", rate, timeout},
                     {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)",
                      "Input Channel = 1", "Output Channel = 1", "Time delay ~ 3.000 sec",
                      "Sample rate = " + rate, "Time out at " + timeout + " sec"}});
  }
  expect_device_errors(cases);
}

TEST(command_line, channel_numbers_below_1_end_silently_after_their_status_line) {
  expect_refusals({
      {{missing_device, "1", "0"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{missing_device, "1", "-1", "0"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = -1"}},
      {{missing_device, "2", "0"},
       {"Device = nonexistent_device", "Mode = 2 (stereo in -> stereo out)",
        "Input Channels = 0+1"}},
      {{missing_device, "3", "-7"},
       {"Device = nonexistent_device", "Mode = 3 (mono in -> stereo out)", "Input Channel = -7"}},
      // No digits, or digits after a base-16 prefix, read as 0.
      {{missing_device, "1", "first"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{missing_device, "1", "0x10"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{missing_device, "1", ""},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      // 2^32 keeps low bits 0; a number past the long range saturates and keeps low bits -1.
      {{missing_device, "1", "4294967296"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{missing_device, "1", "9223372036854775808"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = -1"}},
      {{missing_device, "1", "1", "0"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 0"}},
      {{missing_device, "2", "1", "0"},
       {"Device = nonexistent_device", "Mode = 2 (stereo in -> stereo out)", "Input Channels = 1+2",
        "Output Channels = 0+1"}},
      {{missing_device, "3", "1", "-2147483648"},
       {"Device = nonexistent_device", "Mode = 3 (mono in -> stereo out)", "Input Channel = 1",
        "Output Channels = -2147483648+-2147483647"}},
  });
}

TEST(command_line, channel_numbers_above_256_are_refused_with_a_message) {
  expect_refusals({
      {{missing_device, "1", "257"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 257",
        "Input channel can be set up to 256"}},
      {{missing_device, "2", "257"},
       {"Device = nonexistent_device", "Mode = 2 (stereo in -> stereo out)",
        "Input Channels = 257+258", "Input channel can be set up to 256"}},
      {{missing_device, "1", "1", "257"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 257", "Output channel can be set up to 256"}},
      {{missing_device, "3", "256", "257"},
       {"Device = nonexistent_device", "Mode = 3 (mono in -> stereo out)", "Input Channel = 256",
        "Output Channels = 257+258", "Output channel can be set up to 256"}},
      // The pair is echoed without wrapping past the top of 32 bits.
      {{missing_device, "2", "2147483647"},
       {"Device = nonexistent_device", "Mode = 2 (stereo in -> stereo out)",
        "Input Channels = 2147483647+2147483648", "Input channel can be set up to 256"}},
      // 99999999999 keeps its low 32 bits, 1215752191.
      {{missing_device, "1", "99999999999"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)",
        "Input Channel = 1215752191", "Input channel can be set up to 256"}},
      // The input channel is refused before the output channel is read.
      {{missing_device, "1", "300", "0"},
       {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 300",
        "Input channel can be set up to 256"}},
  });
}

TEST(command_line, delays_outside_0_to_600_are_refused_with_a_message) {
  const std::vector<std::string> head = {"Device = nonexistent_device",
                                         "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
                                         "Output Channel = 1"};
  const std::string too_long = "Delay time can be set up to 600 seconds";
  const std::string below_zero = "Delay time is less than zero!";
  const std::string not_a_number = "Delay time is not a number!";
  const std::string largest_float = "340282346638528859811704183484516925440.000";
  const std::vector<std::pair<std::string, std::vector<std::string>>> delays = {
      {"-0.5", {"Time delay ~ -0.500 sec", below_zero}},
      {"-0.0001", {"Time delay ~ -0.000 sec", below_zero}},
      {"600.5", {"Time delay ~ 600.500 sec", too_long}},
      // The next single-precision value above 600 is over the limit.
      {"600.0001", {"Time delay ~ 600.000 sec", too_long}},
      {"1e9", {"Time delay ~ 1000000000.000 sec", too_long}},
      {"inf", {"Time delay ~ inf sec", too_long}},
      {"Infinity", {"Time delay ~ inf sec", too_long}},
      {"-inf", {"Time delay ~ -inf sec", below_zero}},
      // Beyond single precision: an infinity.
      {"1e39", {"Time delay ~ inf sec", too_long}},
      {"-1e39", {"Time delay ~ -inf sec", below_zero}},
      {"1e400", {"Time delay ~ inf sec", too_long}},
      // Just past the largest float, but nearer to it than to the next power of two.
      {"3.4028235e38", {"Time delay ~ " + largest_float + " sec", too_long}},
      {"-3.4028235e38", {"Time delay ~ -" + largest_float + " sec", below_zero}},
      {"nan", {"Time delay ~ nan sec", not_a_number}},
      {"NAN", {"Time delay ~ nan sec", not_a_number}},
      {"nan(123)", {"Time delay ~ nan sec", not_a_number}},
      {"-nan", {"Time delay ~ -nan sec", not_a_number}},
  };
  std::vector<console_case> cases;
  for (const auto& [text, lines] : delays) {
    std::vector<std::string> expected = head;
    expected.insert(expected.end(), lines.begin(), lines.end());
    cases.push_back({{missing_device, "1", "1", "1", text, "44100", "60"}, expected});
  }
  expect_refusals(cases);
}

TEST(command_line, sample_rates_below_32000_or_negative_end_silently_after_their_status_line) {
  const std::pair<std::string, std::string> rates[] = {
      {"31999", "31999"},
      {"0", "0"},
      {"fast", "0"},
      {"-44100", "-44100"},
      {"-1", "-1"},
      // Low 32 bits: 2^32 - 1 is -1, 2^31 is the lowest negative number.
      {"4294967295", "-1"},
      {"2147483648", "-2147483648"},
  };
  std::vector<console_case> cases;
  for (const auto& [text, shown] : rates) {
    cases.push_back(
        {{missing_device, "1", "1", "1", "3", text, "60"},
         {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
          "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = " + shown}});
  }
  expect_refusals(cases);
}

TEST(command_line, negative_timeouts_are_refused_with_a_message) {
  const std::pair<std::string, std::string> timeouts[] = {
      {"-5", "-5"},
      {"-1", "-1"},
      {"4294967295", "-1"},
      {"-2147483648", "-2147483648"},
  };
  std::vector<console_case> cases;
  for (const auto& [text, shown] : timeouts) {
    cases.push_back(
        {{missing_device, "1", "1", "1", "3", "44100", text},
         {"Device = nonexistent_device", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
          "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
          "Time out at " + shown + " sec", "Time out is less than zero!"}});
  }
  expect_refusals(cases);
}

TEST(command_line, device_names_are_echoed_literally) {
  expect_refusals({
      {{"%s%n%d", "1", "0"},
       {"Device = %s%n%d", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{"", "1", "0"}, {"Device = ", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
      {{"plug:hw:1,0 with spaces", "1", "0"},
       {"Device = plug:hw:1,0 with spaces", "Mode = 1 (mono in -> mono out)", "Input Channel = 0"}},
  });
  expect_device_errors({
      {{""},
       {"Device = ", "Mode = 1 (mono in -> mono out)", "Input Channel = 1", "Output Channel = 1",
        "Time delay ~ 3.000 sec", "Sample rate = 44100", "Time out at 300 sec"}},
      {{"plug:x-y"},
       {"Device = plug:x-y", "Mode = 1 (mono in -> mono out)", "Input Channel = 1",
        "Output Channel = 1", "Time delay ~ 3.000 sec", "Sample rate = 44100",
        "Time out at 300 sec"}},
  });
}

TEST(command_line, a_first_argument_beginning_with_a_hyphen_is_an_option) {
  const std::string usage = run_quavelor({}).out;
  const std::string hint = "\": the first argument is the device name (aplay -L lists them)\n";
  const std::tuple<std::vector<std::string>, std::string, std::string, int> cases[] = {
      {{"--help"}, usage, "", 0},
      {{"-h", "1", "0"}, usage, "", 0},
      {{"--version", "x"}, "Quavelor 1.0\n", "", 0},
      {{"--device=null", "hw:0"}, "", "Unknown option \"--device=null" + hint, 1},
  };
  for (const auto& [arguments, out, err, exit_code] : cases) {
    SCOPED_TRACE(described(arguments));
    const program_result result = run_quavelor(arguments);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.exit_code, exit_code);
  }
}

TEST(command_line, a_100_kilobyte_device_name_is_echoed_whole) {
  const std::string name(100000, 'd');
  const std::string refused_out =
      "Device = " + name + "\nMode = 1 (mono in -> mono out)\nInput Channel = 0\n";

  const program_result refused = run_quavelor({name, "1", "0"});
  EXPECT_TRUE(refused.out == refused_out)
      << "standard output of " << refused.out.size() << " bytes, expected " << refused_out.size();
  EXPECT_EQ(refused.err, "");
  EXPECT_EQ(refused.exit_code, 1);

  // Accepted, it reaches the sound library, which knows no such device.
  const program_result accepted = run_quavelor({name});
  const std::string accepted_out = "Device = " + name +
                                   "\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n"
                                   "Output Channel = 1\nTime delay ~ 3.000 sec\n"
                                   "Sample rate = 44100\nTime out at 300 sec\n";
  EXPECT_TRUE(accepted.out == accepted_out)
      << "standard output of " << accepted.out.size() << " bytes, expected " << accepted_out.size();
  EXPECT_EQ(without_library_diagnostics(accepted.err), device_error);
  EXPECT_EQ(accepted.exit_code, 1);
}
