// The settings of one run, read from the command line. This module owns the
// `run_settings` record; it never touches the sound library. Everything it
// prints goes to standard output, but for the refusal of an unknown option,
// and every refusal ends the process.
#pragma once

#include <cstdint>
#include <string>

#include "settings/routing_plan.h"

struct run_settings {
  std::string device_name;                   // passed unchanged to the sound library
  routing_mode mode = routing_mode::mono_to_one;
  int32_t input_index = 0;                   // zero-based (first) capture channel
  int32_t output_index = 0;                  // zero-based (first) playback channel
  float delay_seconds = 3.0f;                // 0 to 600 inclusive
  uint32_t sample_rate = 44100;              // frames per second, at least 32000
  uint64_t frame_budget = 13230000;          // frames played before the run ends
};

// Reads the positional arguments (device, mode, input channel, output channel,
// delay, sample rate, timeout), echoing each setting as a status line once it
// is settled. With no arguments it writes the usage text; on a bad value it
// refuses. Either way the process then ends with status 1. A first argument
// that begins with a hyphen is an option: "--help" and "-h" write the usage
// text and "--version" the name and version, to standard output, and the
// process ends with status 0; any other is refused on standard error.
run_settings parse_command_line(int argument_count, char** arguments);

// Sets the run to the rate the device runs at, when that is not the one asked
// (a card opened by its hw: name runs only at its own rates): the delay and
// the time out stay the seconds asked, counted in the device's frames, and a
// line says so. A rate of 0 (unknown) leaves the settings as they are.
void adopt_device_rate(run_settings& settings, uint32_t device_rate);
