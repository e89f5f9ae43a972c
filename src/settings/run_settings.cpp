#include "settings/run_settings.h"

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"

namespace {

constexpr float default_delay_seconds = 3.0f;
constexpr int32_t default_sample_rate = 44100;
constexpr int32_t default_timeout_seconds = 300;
constexpr int32_t lowest_sample_rate = 32000;
constexpr float longest_delay_seconds = 600.0f;
// The largest float plus half a unit in its last place (2^128 - 2^103): the
// smallest magnitude that rounds to an infinity in single precision.
constexpr double float_overflow_threshold = double{FLT_MAX} + 0x1p103;

// The name and version, the title line of the usage text and all of what
// --version prints.
constexpr const char* program_title = "Quavelor 1.0";
constexpr const char* program_author = "Ostrelwyn";

// The usage text after its title line. Each entry is written as a line, so
// one that ends in a newline is followed by an empty line.
constexpr const char* usage_lines[] = {
    "Add 1 or more arguments:\n",
    "<device> <mode> <inp chan> <outp chan> <delay in sec> <samplerate> <timeout>\n",
    "Mode 1: a mono input will be sent to one side of a stereo output (default)",
    "Mode 2: a stereo input will be sent to a stereo output",
    "Mode 3: a mono input will be sent to both sides of a stereo ouput\n",
    "In the case of stereo outputs and inputs, the track number given in the command line "
    "indicates the first of the two channels (usually left side)\n",
    "WARNING!  Since this program intentionally creates a delay, a destructive feedback loop "
    "can occur if the input can hear the output such as with a laptop or a microphone near "
    "monitor speakers.  The output should be sent to headphones.\n",
};

void print_usage() {
  std::printf("\n%s by %s\n\n", program_title, program_author);
  for (const char* line : usage_lines) std::puts(line);
}

// No device name begins with a hyphen, so a first argument that does is an
// option: help and the version are answered with status 0, as they were
// asked for; anything else is refused before a device is opened.
[[noreturn]] void answer_option(const char* option) {
  if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
    print_usage();
    std::exit(EXIT_SUCCESS);
  }
  if (std::strcmp(option, "--version") == 0) {
    std::puts(program_title);
    std::exit(EXIT_SUCCESS);
  }
  fail(stderr,
       "Unknown option \"%s\": the first argument is the device name (aplay -L lists them)\n",
       option);
}

// Base 10, no check of where the number ends: leading blanks and a sign are
// taken, reading stops at the first non-digit, no digits read as 0. The
// result keeps the low 32 bits, as a signed number.
int32_t read_integer(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

// No end check either: text that is not a number reads as 0. The narrowing
// rounds to nearest as the hardware does, done by hand past the largest float
// where a plain conversion would be out of range: less than half a unit in
// the last place beyond it still reads as the largest float, from there on
// as an infinity.
float read_decimal(const char* text) {
  const double value = std::strtod(text, nullptr);
  if (value >= float_overflow_threshold) return INFINITY;
  if (value <= -float_overflow_threshold) return -INFINITY;
  if (value > FLT_MAX) return FLT_MAX;
  if (value < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(value);
}

routing_mode read_mode(int argument_count, char** arguments) {
  if (argument_count > 2) {
    const int32_t value = read_integer(arguments[2]);
    if (value >= 1 && value <= 3) return static_cast<routing_mode>(value);
  }
  return routing_mode::mono_to_one;
}

// Reads a one-based channel number (1 when absent) and echoes it, as a pair
// when the side spans two channels. Returns the zero-based index.
int32_t read_channel(int argument_count, char** arguments, int position, const char* name,
                     bool pair, const char* too_high_message) {
  const int64_t number = argument_count > position ? read_integer(arguments[position]) : 1;
  if (pair) {
    std::printf("%s Channels = %" PRId64 "+%" PRId64 "\n", name, number, number + 1);
  } else {
    std::printf("%s Channel = %" PRId64 "\n", name, number);
  }
  if (number < 1) fail_silently();
  if (number > max_channel_number) fail(stdout, "%s\n", too_high_message);
  return static_cast<int32_t>(number - 1);
}

}  // namespace

run_settings parse_command_line(int argument_count, char** arguments) {
  if (argument_count < 2) {
    print_usage();
    fail_silently();
  }
  if (arguments[1][0] == '-') answer_option(arguments[1]);

  run_settings settings;
  settings.device_name = arguments[1];
  std::printf("Device = %s\n", settings.device_name.c_str());

  settings.mode = read_mode(argument_count, arguments);
  std::printf("Mode = %i ", static_cast<int>(settings.mode));
  std::puts(routing_mode_label(settings.mode));

  settings.input_index =
      read_channel(argument_count, arguments, 3, "Input",
                   settings.mode == routing_mode::stereo_to_stereo,
                   "Input channel can be set up to 256");
  settings.output_index =
      read_channel(argument_count, arguments, 4, "Output",
                   settings.mode != routing_mode::mono_to_one,
                   "Output channel can be set up to 256");

  const float delay = argument_count > 5 ? read_decimal(arguments[5]) : default_delay_seconds;
  std::printf("Time delay ~ %.3f sec\n", static_cast<double>(delay));
  if (delay > longest_delay_seconds) fail(stdout, "Delay time can be set up to 600 seconds\n");
  if (delay < 0.0f) fail(stdout, "Delay time is less than zero!\n");
  if (std::isnan(delay)) fail(stdout, "Delay time is not a number!\n");
  settings.delay_seconds = delay;

  // A negative rate is refused like any rate below the lowest.
  const int32_t rate = argument_count > 6 ? read_integer(arguments[6]) : default_sample_rate;
  std::printf("Sample rate = %i\n", rate);
  if (rate < lowest_sample_rate) fail_silently();
  settings.sample_rate = static_cast<uint32_t>(rate);

  // The budget is kept in 64 bits, so that long timeouts at high rates run
  // for as long as they say.
  const int32_t timeout = argument_count > 7 ? read_integer(arguments[7]) : default_timeout_seconds;
  if (timeout < 0) {
    std::printf("Time out at %i sec\n", timeout);
    fail(stdout, "Time out is less than zero!\n");
  }
  settings.frame_budget = uint64_t{settings.sample_rate} * static_cast<uint64_t>(timeout);
  std::printf("Time out at %" PRIu64 " sec\n", settings.frame_budget / settings.sample_rate);
  return settings;
}

void adopt_device_rate(run_settings& settings, uint32_t device_rate) {
  if (device_rate == 0 || device_rate == settings.sample_rate) return;
  std::printf("Sample rate = %" PRIu32 ", as the device does not run at %" PRIu32 "\n", device_rate,
              settings.sample_rate);
  settings.frame_budget = settings.frame_budget / settings.sample_rate * device_rate;
  settings.sample_rate = device_rate;
}
