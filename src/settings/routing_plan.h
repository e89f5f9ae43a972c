// Channel routing: which capture channel feeds each delay track, which
// playback channel or channels each track feeds, and the one channel count
// both streams of the device are opened with. A pure function of the mode and
// the two zero-based channel indices; it prints nothing and never fails.
#pragma once

#include <cstdint>

// Numbered as on the command line.
enum class routing_mode : int32_t {
  mono_to_one = 1,       // input i to output o
  stereo_to_stereo = 2,  // inputs i, i+1 to outputs o, o+1 (two tracks)
  mono_to_both = 3,      // input i to outputs o and o+1
};

// Highest channel number (one-based) accepted on the command line. Far above
// any real device, low enough that channel counts and staging block sizes
// stay small numbers.
constexpr int32_t max_channel_number = 256;

// One mono signal path through the delay engine.
struct track {
  int32_t capture_channel;           // zero-based device channel read
  int32_t playback_channels[2];      // zero-based device channels written
  int32_t playback_channel_count;    // 1 or 2 entries used above
};

struct routing_plan {
  routing_mode mode;
  int32_t track_count;         // 1, or 2 in stereo_to_stereo
  track tracks[2];             // tracks[1] meaningful only when track_count == 2
  int32_t device_channel_count;  // even, at least 2; both streams use it
};

// REQUIRES: 0 <= input_index, output_index < max_channel_number.
routing_plan derive_routing_plan(routing_mode mode, int32_t input_index, int32_t output_index);

// The label the command line echoes after the mode number.
const char* routing_mode_label(routing_mode mode);
