// Randomized argument lists, from a fixed seed, through parse_command_line and
// derive_routing_plan in this process. Every case runs in a forked child,
// because a refusal ends the process: the child's standard output goes to a
// pipe, and after parsing and routing it checks the plan's invariants and
// writes the settings it got to a second pipe. The parent checks that the
// child ended normally with status 0 or 1, and compares its output and
// settings with a model of the command-line rules written here from scratch.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "settings/routing_plan.h"
#include "settings/run_settings.h"
#include "support/run_program.h"

#ifdef QUAVELOR_SANITIZED
// AddressSanitizer's own call (its header is not shipped with every compiler):
// hands the quarantine of freed memory and the free lists back to the system.
extern "C" void __sanitizer_purge_allocator();
#endif

namespace {

constexpr uint64_t fuzz_seed = 0x71a7e10f5eedULL;
constexpr int fuzz_case_count = 10000;
constexpr int reported_failure_limit = 10;
// Under AddressSanitizer freed memory stays mapped in a quarantine, and every
// fork copies the page tables of all of it; giving it back this often keeps
// the last fork as cheap as the first.
constexpr int cases_between_purges = 250;
constexpr int invariant_broken_status = 2;
constexpr int highest_channel_number = 256;
constexpr int32_t highest_device_channel_count = 258;

// ---------------------------------------------------------------------------
// Small helpers.

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

// An argument as a failure message shows it: control characters escaped, long
// texts cut short with their length.
std::string shown(const std::string& text) {
  constexpr size_t shown_length = 60;
  std::string out = "\"";
  for (size_t k = 0; k < text.size() && k < shown_length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    out += c < 0x20 || c >= 0x7f ? formatted("\\x%02x", c) : std::string(1, static_cast<char>(c));
  }
  out += "\"";
  if (text.size() > shown_length) out += formatted("...(%zu bytes)", text.size());
  return out;
}

std::string shown(const std::vector<std::string>& arguments) {
  std::string out = "[";
  for (size_t k = 0; k < arguments.size(); ++k) out += (k ? ", " : "") + shown(arguments[k]);
  return out + "]";
}

// ---------------------------------------------------------------------------
// The generator. Each position draws from values at and around its bounds,
// plausible values, random numbers, texts that are not numbers and very long
// texts, then may get leading blanks, a sign or trailing junk.

struct generator {
  std::mt19937_64 random;

  uint64_t below(uint64_t n) { return random() % n; }
  bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(below(static_cast<uint64_t>(high - low) + 1));
  }
  template <typename T, size_t n>
  T pick(const T (&choices)[n]) {
    return choices[below(n)];
  }
};

constexpr const char* blanks[] = {" ", "\t", "  ", "\n", "\v\f\r ", " \t "};
constexpr const char* junk[] = {"abc", ".5", "e3", " 7", "x", "-1", "%s", " ", "\t9", ",5"};
constexpr const char* non_numbers[] = {"",    "abc", "-",  "+", " ",  "x10",     "--1",
                                       "+-1", "- 1", "\t", ".", "e5", "\xc3\xa9"};
constexpr const char* integer_forms[] = {"0x10", "0x2", "1e3", "2e0", "0b1", "010", "3.9", "1_0"};
constexpr const char* past_the_long_range[] = {
    "9223372036854775807",  "9223372036854775808",   "-9223372036854775808", "-9223372036854775809",
    "99999999999999999999", "-99999999999999999999", "18446744073709551617"};
constexpr const char* delays_at_the_bounds[] = {
    "0",         "600",      "3",        "-0",        "0.0",         "-0.0",    "600.0",
    "600.00001", "600.0001", "599.9999", "600.00003", "600.00004",   "-0.0001", "-1e-50",
    "1e-50",     "-1e-46",   "1e-45",    "0.0005",    "599.99999999"};
constexpr const char* delays_at_the_float_range[] = {
    "1e39", "-1e39", "1e400", "-1e400", "3.4028235e38", "-3.4028235e38", "3.40282357e38",
    "3.4028236e38", "3.402823466e38",
    // Just below and exactly at the midpoint between the largest float and 2^128.
    "3.40282356779733661637539395458142568447e38", "3.40282356779733661637539395458142568448e38",
    "1e308", "1e-400", "-1e-400"};
constexpr const char* hexadecimal_delays[] = {"0x10",  "0x1p9", "0x258",     "0x258.1", "-0x1",
                                              "0X2.8", "0x",    "0x1p-2000", "0x1p200"};
constexpr const char* special_delays[] = {"nan",      "-nan",     "NaN",       "NAN",     "nan(1)",
                                          "nan(abc)", "+nan",     "inf",       "-inf",    "+inf",
                                          "INF",      "infinity", "-Infinity", "infinit", "in"};
constexpr const char* device_names[] = {"hw:0",   "null",   "",    "default",          "plug:dmix",
                                        "hw:1,0", "%s%n%d", "a b", "\xc3\xa9t\xc3\xa9"};

// Mostly hundreds to thousands of characters, now and then up to 100 KB.
std::string long_text(generator& g) {
  const size_t length =
      static_cast<size_t>(g.chance(3) ? g.between(10000, 100000) : g.between(100, 3000));
  switch (g.below(4)) {
    case 0:
      return std::string(length, '0') + std::to_string(g.between(0, 999));
    case 1:
      return std::string(length, '9');
    case 2:
      return "-" + std::string(length, '0') + "1";
    default:
      return std::string(length, static_cast<char>('a' + g.below(26)));
  }
}

std::string decorated(generator& g, std::string text) {
  if (g.chance(8) && (text.empty() || (text[0] != '-' && text[0] != '+'))) text.insert(0, "+");
  if (g.chance(12)) text.insert(0, g.pick(blanks));
  if (g.chance(12)) text += g.pick(junk);
  return text;
}

// An integer argument; `bounds` are the values the rules test against.
template <size_t n>
std::string integer_argument(generator& g, const int64_t (&bounds)[n], int64_t plausible_low,
                             int64_t plausible_high) {
  constexpr int64_t two_to_32 = int64_t{1} << 32;
  const uint64_t kind = g.below(100);
  std::string text;
  if (kind < 35) {
    const int64_t bound = g.pick(bounds);
    text = std::to_string(bound + g.between(-1, 1));
  } else if (kind < 60) {
    text = std::to_string(g.between(plausible_low, plausible_high));
  } else if (kind < 70) {
    text = std::to_string(static_cast<int32_t>(g.random()));
  } else if (kind < 78) {
    // Beyond 32 bits: the low 32 bits are kept, and beyond the long range the
    // reading saturates first.
    switch (g.below(5)) {
      case 0:
        text = std::to_string(two_to_32 + g.between(-2, 2));
        break;
      case 1:
        text = std::to_string(two_to_32 + g.pick(bounds));
        break;
      case 2:
        text = std::to_string(-two_to_32 + g.pick(bounds));
        break;
      case 3:
        text = std::to_string(static_cast<int64_t>(g.random()));
        break;
      default:
        text = g.pick(past_the_long_range);
        break;
    }
  } else if (kind < 84) {
    text = g.pick(integer_forms);
  } else if (kind < 94) {
    text = g.pick(non_numbers);
  } else {
    text = long_text(g);
  }
  return decorated(g, std::move(text));
}

std::string decimal_argument(generator& g) {
  const uint64_t kind = g.below(100);
  std::string text;
  if (kind < 25) {
    text = g.pick(delays_at_the_bounds);
  } else if (kind < 50) {
    const int64_t whole = g.chance(80) ? g.between(0, 600) : g.between(-700, 1000);
    text = std::to_string(whole);
    if (g.chance(70)) text += "." + std::to_string(g.between(0, 999999));
  } else if (kind < 62) {
    const int64_t mantissa = g.between(-99, 99);
    text = formatted("%" PRId64 "e%" PRId64, mantissa, g.between(-60, 60));
    if (g.chance(30)) text = "0." + text.substr(text[0] == '-' ? 1 : 0);
  } else if (kind < 70) {
    text = g.pick(delays_at_the_float_range);
  } else if (kind < 76) {
    text = g.pick(hexadecimal_delays);
  } else if (kind < 86) {
    text = g.pick(special_delays);
  } else if (kind < 94) {
    text = g.pick(non_numbers);
  } else {
    const size_t length = static_cast<size_t>(g.between(100, 5000));
    switch (g.below(5)) {
      case 0:
        text = "0." + std::string(length, '0') + "1";
        break;
      case 1:
        text = "1" + std::string(length, '0');
        break;
      case 2:
        text = std::string(length, '0') + "600.5";
        break;
      case 3:
        text = std::string(length, '0') + "599.5";
        break;
      default:
        text = long_text(g);
        break;
    }
  }
  return decorated(g, std::move(text));
}

std::string device_argument(generator& g) {
  const uint64_t kind = g.below(1000);
  if (kind < 5) return std::string(static_cast<size_t>(g.between(10000, 100000)), 'n');
  if (kind < 300) return g.pick(device_names);
  std::string name;
  const int64_t length = g.between(0, 40);
  for (int64_t k = 0; k < length; ++k) name += static_cast<char>(g.between(1, 255));
  return name;
}

std::vector<std::string> argument_list(generator& g) {
  constexpr int64_t counts[] = {1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 8, 9};
  const int64_t count = g.chance(1) ? 0 : g.pick(counts);
  std::vector<std::string> arguments;
  if (count >= 1) arguments.push_back(device_argument(g));
  constexpr int64_t mode_bounds[] = {0, 1, 2, 3, 4};
  constexpr int64_t channel_bounds[] = {0, 1, 2, 255, 256, 257};
  constexpr int64_t rate_bounds[] = {0, 31999, 32000, 44100, INT32_MAX, INT32_MIN};
  constexpr int64_t timeout_bounds[] = {0, 1, 300, 100000, INT32_MAX, INT32_MIN};
  constexpr int64_t extra_bounds[] = {0, -1};
  if (count >= 2) arguments.push_back(integer_argument(g, mode_bounds, 1, 3));
  if (count >= 3) arguments.push_back(integer_argument(g, channel_bounds, 1, 256));
  if (count >= 4) arguments.push_back(integer_argument(g, channel_bounds, 1, 256));
  if (count >= 5) arguments.push_back(decimal_argument(g));
  if (count >= 6) arguments.push_back(integer_argument(g, rate_bounds, 32000, 2000000));
  if (count >= 7) arguments.push_back(integer_argument(g, timeout_bounds, 0, 100000));
  for (int64_t k = 8; k <= count; ++k) {
    arguments.push_back(g.chance(50) ? integer_argument(g, extra_bounds, -5, 5)
                                     : decimal_argument(g));
  }
  return arguments;
}

// ---------------------------------------------------------------------------
// The model of the rules.

// Base 10: leading blanks (the C locale's white space), an optional sign, then
// digits up to the first non-digit; no digits read as 0; a value beyond the
// 64-bit range saturates at its end. The low 32 bits are kept, as a signed
// number.
int32_t model_integer(const std::string& text) {
  size_t k = 0;
  while (k < text.size() && text[k] != '\0' && std::strchr(" \t\n\v\f\r", text[k]) != nullptr) {
    ++k;
  }
  bool negative = false;
  if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
  const size_t first_digit = k;
  // The magnitude, held at the largest 64-bit value once it would pass it: it
  // is beyond the long range either way.
  constexpr uint64_t beyond = UINT64_MAX;
  uint64_t magnitude = 0;
  for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k) {
    const uint64_t digit = static_cast<uint64_t>(text[k] - '0');
    magnitude = magnitude > (beyond - digit) / 10 ? beyond : magnitude * 10 + digit;
  }
  if (k == first_digit) return 0;
  int64_t value;
  if (negative) {
    value = magnitude >= uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  } else {
    value = magnitude > INT64_MAX ? INT64_MAX : static_cast<int64_t>(magnitude);
  }
  const int64_t low_bits = static_cast<int64_t>(static_cast<uint64_t>(value) & 0xffffffffu);
  return static_cast<int32_t>(low_bits >= int64_t{1} << 31 ? low_bits - (int64_t{1} << 32)
                                                           : low_bits);
}

// The standard library's decimal reading, then rounding to the nearest single
// precision value: magnitudes from 2^128 - 2^103 (halfway between the
// largest float and 2^128) round to an infinity.
float model_decimal(const std::string& text) {
  const double value = std::strtod(text.c_str(), nullptr);
  const double overflow = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
  if (std::isnan(value)) return std::signbit(value) ? -NAN : NAN;
  if (std::fabs(value) >= overflow) return std::signbit(value) ? -INFINITY : INFINITY;
  if (std::fabs(value) > FLT_MAX) return std::signbit(value) ? -FLT_MAX : FLT_MAX;
  return static_cast<float>(value);
}

enum class outcome {
  accepted,
  usage,
  input_below_1,
  input_above_256,
  output_below_1,
  output_above_256,
  delay_above_600,
  delay_below_0,
  delay_not_a_number,
  rate_below_32000,
  timeout_below_0,
  option_refused,  // rare: a random device name begins with a hyphen once in 255
};

const char* outcome_name(outcome kind) {
  switch (kind) {
    case outcome::accepted:
      return "accepted";
    case outcome::usage:
      return "usage";
    case outcome::input_below_1:
      return "input channel below 1";
    case outcome::input_above_256:
      return "input channel above 256";
    case outcome::output_below_1:
      return "output channel below 1";
    case outcome::output_above_256:
      return "output channel above 256";
    case outcome::delay_above_600:
      return "delay above 600";
    case outcome::delay_below_0:
      return "delay below 0";
    case outcome::delay_not_a_number:
      return "delay not a number";
    case outcome::rate_below_32000:
      return "rate below 32000";
    case outcome::timeout_below_0:
      return "timeout below 0";
    case outcome::option_refused:
      return "option refused";
  }
  return "?";
}

struct expected_run {
  outcome kind = outcome::accepted;
  std::string out;     // standard output in full (for the usage text, its first line)
  std::string record;  // the settings record, for an accepted run
};

struct model_track {
  int64_t capture;
  std::vector<int64_t> playback;
};

// The settings as one line of text; the child writes the same from what the
// code under test returned. Track entries read "capture>playback,playback".
std::string settings_record(const std::string& device, int mode, int64_t input_index,
                            int64_t output_index, float delay, uint64_t rate, uint64_t budget,
                            const std::vector<model_track>& tracks, int64_t channel_count) {
  uint32_t delay_bits;
  std::memcpy(&delay_bits, &delay, sizeof delay_bits);
  std::string record =
      formatted("mode=%d input=%" PRId64 " output=%" PRId64 " delay=%08" PRIx32 " rate=%" PRIu64
                " budget=%" PRIu64 " channels=%" PRId64 " tracks=",
                mode, input_index, output_index, delay_bits, rate, budget, channel_count);
  for (const model_track& t : tracks) {
    record += formatted("%" PRId64 ">", t.capture);
    for (size_t k = 0; k < t.playback.size(); ++k) {
      record += formatted("%s%" PRId64, k ? "," : "", t.playback[k]);
    }
    record += ";";
  }
  return record + " device=" + device;
}

expected_run model_run(const std::vector<std::string>& arguments) {
  expected_run run;
  if (arguments.empty()) {
    run.kind = outcome::usage;
    run.out = "\nQuavelor 1.0 by Ostrelwyn\n\n";
    return run;
  }
  const auto present = [&](size_t position) { return arguments.size() >= position; };
  const auto refuse = [&](outcome kind, const std::string& line) {
    run.kind = kind;
    run.out += line;
    return run;
  };

  if (arguments[0].rfind('-', 0) == 0) {  // never one of the three known options here
    const std::string hint = "\": the first argument is the device name (aplay -L lists them)\n";
    return refuse(outcome::option_refused, "Unknown option \"" + arguments[0] + hint);
  }
  run.out = "Device = " + arguments[0] + "\n";

  int mode = present(2) ? model_integer(arguments[1]) : 1;
  if (mode < 1 || mode > 3) mode = 1;
  const char* labels[] = {"", "(mono in -> mono out)", "(stereo in -> stereo out)",
                          "(mono in -> stereo out)"};
  run.out += formatted("Mode = %d %s\n", mode, labels[mode]);

  const int64_t input = present(3) ? model_integer(arguments[2]) : 1;
  run.out += mode == 2 ? formatted("Input Channels = %" PRId64 "+%" PRId64 "\n", input, input + 1)
                       : formatted("Input Channel = %" PRId64 "\n", input);
  if (input < 1) return refuse(outcome::input_below_1, "");
  if (input > highest_channel_number) {
    return refuse(outcome::input_above_256, "Input channel can be set up to 256\n");
  }

  const int64_t output = present(4) ? model_integer(arguments[3]) : 1;
  run.out += mode == 1
                 ? formatted("Output Channel = %" PRId64 "\n", output)
                 : formatted("Output Channels = %" PRId64 "+%" PRId64 "\n", output, output + 1);
  if (output < 1) return refuse(outcome::output_below_1, "");
  if (output > highest_channel_number) {
    return refuse(outcome::output_above_256, "Output channel can be set up to 256\n");
  }

  const float delay = present(5) ? model_decimal(arguments[4]) : 3.0f;
  run.out += formatted("Time delay ~ %.3f sec\n", static_cast<double>(delay));
  if (std::isnan(delay))
    return refuse(outcome::delay_not_a_number, "Delay time is not a number!\n");
  if (delay > 600.0f) {
    return refuse(outcome::delay_above_600, "Delay time can be set up to 600 seconds\n");
  }
  if (delay < 0.0f) return refuse(outcome::delay_below_0, "Delay time is less than zero!\n");

  const int64_t rate = present(6) ? model_integer(arguments[5]) : 44100;
  run.out += formatted("Sample rate = %" PRId64 "\n", rate);
  if (rate < 32000) return refuse(outcome::rate_below_32000, "");

  const int64_t timeout = present(7) ? model_integer(arguments[6]) : 300;
  run.out += formatted("Time out at %" PRId64 " sec\n", timeout);
  if (timeout < 0) return refuse(outcome::timeout_below_0, "Time out is less than zero!\n");

  // Routing: one track per input channel used, the device channel count the
  // smallest even number of at least 2 covering both sides, each side
  // spanning one channel in mode 1 and two in modes 2 and 3.
  const int64_t i = input - 1;
  const int64_t o = output - 1;
  std::vector<model_track> tracks;
  if (mode == 1) tracks = {{i, {o}}};
  if (mode == 2) tracks = {{i, {o}}, {i + 1, {o + 1}}};
  if (mode == 3) tracks = {{i, {o, o + 1}}};
  const int64_t width = mode == 1 ? 1 : 2;
  const int64_t widest = std::max(i, o) + width;
  const int64_t channels = std::max<int64_t>(2, (widest + 1) / 2 * 2);

  const uint64_t budget = static_cast<uint64_t>(rate) * static_cast<uint64_t>(timeout);
  run.record = settings_record(arguments[0], mode, i, o, delay, static_cast<uint64_t>(rate), budget,
                               tracks, channels);
  return run;
}

// ---------------------------------------------------------------------------
// The child's side.

void write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) _exit(invariant_broken_status);
    done += static_cast<size_t>(wrote);
  }
}

// What is wrong with the plan or the settings the code returned, or "".
std::string broken_invariant(const run_settings& settings, const routing_plan& plan) {
  const int32_t count = plan.device_channel_count;
  if (count % 2 != 0 || count < 2 || count > highest_device_channel_count) {
    return formatted("device channel count %d", count);
  }
  const int32_t expected_tracks = plan.mode == routing_mode::stereo_to_stereo ? 2 : 1;
  if (plan.mode != settings.mode || plan.track_count != expected_tracks) {
    return formatted("mode %d with %d tracks", static_cast<int>(plan.mode), plan.track_count);
  }
  for (int32_t t = 0; t < plan.track_count; ++t) {
    const track& routed = plan.tracks[t];
    if (routed.capture_channel < 0 || routed.capture_channel >= count) {
      return formatted("track %d reads channel %d of %d", t, routed.capture_channel, count);
    }
    if (routed.playback_channel_count < 1 || routed.playback_channel_count > 2) {
      return formatted("track %d feeds %d channels", t, routed.playback_channel_count);
    }
    for (int32_t k = 0; k < routed.playback_channel_count; ++k) {
      if (routed.playback_channels[k] < 0 || routed.playback_channels[k] >= count) {
        return formatted("track %d feeds channel %d of %d", t, routed.playback_channels[k], count);
      }
    }
  }
  if (!(settings.delay_seconds >= 0.0f && settings.delay_seconds <= 600.0f)) {
    return formatted("delay %g", static_cast<double>(settings.delay_seconds));
  }
  if (settings.sample_rate < 32000 || settings.sample_rate > INT32_MAX) {
    return formatted("sample rate %u", settings.sample_rate);
  }
  return "";
}

// Ends the child at once with the status exit() was given, after writing out
// standard output: the exit-time work of the whole test program copied into
// the child (under the sanitizers a leak scan of the parent's heap) would
// cost milliseconds per case and tell nothing about the case.
void end_at_once(int status, void*) {
  std::fflush(stdout);
  _exit(status);
}

[[noreturn]] void run_child(const std::vector<std::string>& arguments, int out_fd, int record_fd) {
  dup2(out_fd, STDOUT_FILENO);
  dup2(out_fd, STDERR_FILENO);  // where an unknown option is refused
  close(out_fd);
  on_exit(end_at_once, nullptr);
  std::vector<std::string> words{"quavelor"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const run_settings settings = parse_command_line(static_cast<int>(words.size()), argv.data());
  const routing_plan plan =
      derive_routing_plan(settings.mode, settings.input_index, settings.output_index);
  std::fflush(stdout);

  const std::string problem = broken_invariant(settings, plan);
  if (!problem.empty()) {
    write_all(record_fd, problem);
    _exit(invariant_broken_status);
  }
  std::vector<model_track> tracks;
  for (int32_t t = 0; t < plan.track_count; ++t) {
    const track& routed = plan.tracks[t];
    tracks.push_back({routed.capture_channel, {}});
    for (int32_t k = 0; k < routed.playback_channel_count; ++k) {
      tracks.back().playback.push_back(routed.playback_channels[k]);
    }
  }
  write_all(record_fd, settings_record(settings.device_name, static_cast<int>(settings.mode),
                                       settings.input_index, settings.output_index,
                                       settings.delay_seconds, settings.sample_rate,
                                       settings.frame_budget, tracks, plan.device_channel_count));
  _exit(0);
}

// ---------------------------------------------------------------------------
// The parent's side.

struct child_result {
  std::string out;
  std::string record;
  int exit_code = -1;  // -1 when ended by a signal
  int signal = 0;
};

// Runs one case in a child into `result`, whose buffers are reused from case
// to case.
void run_case(const std::vector<std::string>& arguments, child_result& result) {
  result.out.clear();
  result.record.clear();
  result.exit_code = -1;
  result.signal = 0;
  int out_pipe[2];
  int record_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(record_pipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  // Anything still buffered would otherwise be written twice, once by the child.
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return;
  }
  if (child == 0) {
    close(out_pipe[0]);
    close(record_pipe[0]);
    run_child(arguments, out_pipe[1], record_pipe[1]);
  }
  close(out_pipe[1]);
  close(record_pipe[1]);

  read_until_closed(out_pipe[0], result.out, record_pipe[0], result.record);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

child_result run_case(const std::vector<std::string>& arguments) {
  child_result result;
  run_case(arguments, result);
  return result;
}

// What differs between the child's run and the model's, or "".
std::string mismatch(const expected_run& expected, const child_result& got) {
  if (got.signal != 0) return formatted("ended by signal %d", got.signal);
  if (got.exit_code == invariant_broken_status) return "invariant broken: " + got.record;
  if (got.exit_code != 0 && got.exit_code != 1) return formatted("exit status %d", got.exit_code);
  const bool accepted = expected.kind == outcome::accepted;
  if (got.exit_code != (accepted ? 0 : 1)) {
    return formatted("exit status %d, expected %s", got.exit_code, outcome_name(expected.kind));
  }
  if (expected.kind == outcome::usage) {
    const std::string last_line = "sent to headphones.\n\n";
    if (got.out.rfind(expected.out, 0) != 0 || got.out.size() < last_line.size() ||
        got.out.compare(got.out.size() - last_line.size(), last_line.size(), last_line) != 0) {
      return "usage text " + shown(got.out);
    }
    return "";
  }
  if (got.out != expected.out) {
    // The first line that differs, which is where the two part.
    size_t start = 0;
    while (start < got.out.size() && start < expected.out.size() &&
           got.out[start] == expected.out[start]) {
      ++start;
    }
    start = got.out.rfind('\n', start == 0 ? 0 : start - 1);
    start = start == std::string::npos ? 0 : start + 1;
    return "standard output from " + shown(got.out.substr(start)) + ", expected " +
           shown(expected.out.substr(start));
  }
  if (accepted && got.record != expected.record) {
    return "settings " + shown(got.record.substr(0, got.record.find(" device="))) + ", expected " +
           shown(expected.record.substr(0, expected.record.find(" device="))) +
           (got.record.size() == expected.record.size() ? "" : " (device names differ)");
  }
  return "";
}

}  // namespace

TEST(command_line_fuzz, random_argument_lists_are_accepted_or_refused_exactly_as_the_rules_say) {
  generator g{std::mt19937_64{fuzz_seed}};
  std::map<outcome, int> outcome_counts;
  child_result got;
  int failures = 0;
  for (int n = 0; n < fuzz_case_count; ++n) {
    const std::vector<std::string> arguments = argument_list(g);
    const expected_run expected = model_run(arguments);
    ++outcome_counts[expected.kind];
#ifdef QUAVELOR_SANITIZED
    if (n % cases_between_purges == 0) __sanitizer_purge_allocator();
#endif
    run_case(arguments, got);
    const std::string problem = mismatch(expected, got);
    if (problem.empty()) continue;
    if (++failures <= reported_failure_limit) {
      ADD_FAILURE() << "case " << n << " " << shown(arguments) << ": " << problem;
    }
  }
  EXPECT_EQ(failures, 0) << "cases that went otherwise than the rules say";

  // Every way a run can end must have come up often enough to mean something.
  constexpr int least_count_per_outcome = 40;
  for (int kind = static_cast<int>(outcome::accepted);
       kind <= static_cast<int>(outcome::timeout_below_0); ++kind) {
    EXPECT_GE(outcome_counts[static_cast<outcome>(kind)], least_count_per_outcome)
        << outcome_name(static_cast<outcome>(kind));
  }
}

TEST(command_line_fuzz, the_model_reads_known_texts_as_the_rules_say) {
  // The model is checked on its own against worked examples, so that it and
  // the code under test cannot agree on a misreading.
  EXPECT_EQ(model_integer(" \t+42abc"), 42);
  EXPECT_EQ(model_integer("0x10"), 0);
  EXPECT_EQ(model_integer("1e3"), 1);
  EXPECT_EQ(model_integer(""), 0);
  EXPECT_EQ(model_integer("- 1"), 0);
  EXPECT_EQ(model_integer("4294967298"), 2);
  EXPECT_EQ(model_integer("-4294967295"), 1);
  EXPECT_EQ(model_integer("2147483648"), INT32_MIN);
  EXPECT_EQ(model_integer("99999999999"), 1215752191);
  EXPECT_EQ(model_integer("9223372036854775807"), -1);
  EXPECT_EQ(model_integer("9223372036854775808"), -1);
  EXPECT_EQ(model_integer("-9223372036854775809"), 0);
  EXPECT_EQ(model_integer(std::string(5000, '9')), -1);
  EXPECT_EQ(model_integer(std::string(5000, '0') + "7"), 7);

  EXPECT_EQ(model_decimal("1e2"), 100.0f);
  EXPECT_EQ(model_decimal("0x10"), 16.0f);
  EXPECT_EQ(model_decimal("abc"), 0.0f);
  EXPECT_EQ(model_decimal("600.00001"), 600.0f);
  EXPECT_GT(model_decimal("600.0001"), 600.0f);
  EXPECT_EQ(model_decimal("3.4028235e38"), FLT_MAX);
  EXPECT_EQ(model_decimal("3.40282357e38"), INFINITY);
  EXPECT_EQ(model_decimal("-1e39"), -INFINITY);
  EXPECT_TRUE(std::isnan(model_decimal("-nan")) && std::signbit(model_decimal("-nan")));

  // The budget of a long timeout at 44100 frames per second, and a routing.
  const expected_run run = model_run({"hw:0", "2", "256", "1", "0", "44100", "100000"});
  EXPECT_EQ(run.kind, outcome::accepted);
  EXPECT_EQ(run.record,
            "mode=2 input=255 output=0 delay=00000000 rate=44100 budget=4410000000 channels=258 "
            "tracks=255>0;256>1; device=hw:0");
}

TEST(command_line_fuzz, the_child_reports_the_settings_of_known_argument_lists) {
  // The fork harness on fixed cases, with the settings spelled out.
  const child_result defaults = run_case({"hw:0"});
  EXPECT_EQ(defaults.exit_code, 0);
  EXPECT_EQ(defaults.record,
            "mode=1 input=0 output=0 delay=40400000 rate=44100 budget=13230000 channels=2 "
            "tracks=0>0; device=hw:0");

  const child_result both_sides = run_case({"x", "3", "2", "1", "600", "32000", "60"});
  EXPECT_EQ(both_sides.exit_code, 0);
  EXPECT_EQ(both_sides.record,
            "mode=3 input=1 output=0 delay=44160000 rate=32000 budget=1920000 channels=4 "
            "tracks=1>0,1; device=x");

  const child_result refused = run_case({"x", "1", "1", "1", "nan"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.record, "");
  EXPECT_EQ(refused.out,
            "Device = x\nMode = 1 (mono in -> mono out)\nInput Channel = 1\nOutput Channel = 1\n"
            "Time delay ~ nan sec\nDelay time is not a number!\n");
}
