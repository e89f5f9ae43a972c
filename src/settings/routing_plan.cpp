#include "settings/routing_plan.h"

#include <cassert>

routing_plan derive_routing_plan(routing_mode mode, int32_t input_index, int32_t output_index) {
  assert(input_index >= 0 && input_index < max_channel_number);
  assert(output_index >= 0 && output_index < max_channel_number);

  routing_plan plan{};
  plan.mode = mode;
  const int32_t i = input_index;
  const int32_t o = output_index;
  switch (mode) {
    case routing_mode::mono_to_one:
      plan.track_count = 1;
      plan.tracks[0] = {i, {o, o}, 1};
      break;
    case routing_mode::stereo_to_stereo:
      plan.track_count = 2;
      plan.tracks[0] = {i, {o, o}, 1};
      plan.tracks[1] = {i + 1, {o + 1, o + 1}, 1};
      break;
    case routing_mode::mono_to_both:
      plan.track_count = 1;
      plan.tracks[0] = {i, {o, o + 1}, 2};
      break;
  }

  // The span width is applied to the input side in mono_to_both too, though
  // it reads one channel: the device is opened as a pair of pairs.
  const int32_t width = mode == routing_mode::mono_to_one ? 1 : 2;
  int32_t count = 2;
  while (count < i + width || count < o + width) count += 2;
  plan.device_channel_count = count;
  return plan;
}

const char* routing_mode_label(routing_mode mode) {
  switch (mode) {
    case routing_mode::stereo_to_stereo:
      return "(stereo in -> stereo out)";
    case routing_mode::mono_to_both:
      return "(mono in -> stereo out)";
    case routing_mode::mono_to_one:
      break;
  }
  return "(mono in -> mono out)";
}
