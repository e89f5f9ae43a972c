// The routing plan: how many tracks run, which capture channel feeds each,
// which playback channels each feeds, and the channel count both streams are
// opened with. Channel numbers in comments are one-based as on the command
// line; the plan itself holds zero-based indices.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "settings/routing_plan.h"

namespace {

struct channel_count_case {
  routing_mode mode;
  int32_t input_index;
  int32_t output_index;
  int32_t device_channel_count;
};

void expect_channel_counts(const std::vector<channel_count_case>& cases) {
  for (const channel_count_case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(c.mode) << ", input index "
                                    << c.input_index << ", output index " << c.output_index);
    const routing_plan plan = derive_routing_plan(c.mode, c.input_index, c.output_index);
    EXPECT_EQ(plan.device_channel_count, c.device_channel_count);
  }
}

// Every channel the plan reads or writes lies inside the device's channels,
// whose count is even and at least 2.
bool routed_channels_inside_the_device(const routing_plan& plan) {
  const int32_t count = plan.device_channel_count;
  if (count % 2 != 0 || count < 2) return false;
  for (int32_t t = 0; t < plan.track_count; ++t) {
    const track& routed = plan.tracks[t];
    if (routed.capture_channel < 0 || routed.capture_channel >= count) return false;
    for (int32_t k = 0; k < routed.playback_channel_count; ++k) {
      if (routed.playback_channels[k] < 0 || routed.playback_channels[k] >= count) return false;
    }
  }
  return true;
}

}  // namespace

TEST(routing_plan, channel_counts_match_the_routing_table) {
  expect_channel_counts({
      {routing_mode::mono_to_one, 0, 0, 2},       // 1: in 1, out 1
      {routing_mode::mono_to_one, 2, 0, 4},       // 1: in 3, out 1
      {routing_mode::stereo_to_stereo, 0, 2, 4},  // 2: in 1+2, out 3+4
      {routing_mode::stereo_to_stereo, 3, 0, 6},  // 2: in 4+5, out 1+2
      {routing_mode::mono_to_both, 1, 0, 4},      // 3: in 2, out 1+2
      {routing_mode::mono_to_both, 0, 1, 4},      // 3: in 1, out 2+3
  });
}

TEST(routing_plan, mode_3_opens_four_channels_for_input_2_because_the_input_side_spans_a_pair) {
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_both, 1, 0);
  EXPECT_EQ(plan.device_channel_count, 4);
  EXPECT_EQ(plan.track_count, 1);
  EXPECT_EQ(plan.tracks[0].capture_channel, 1);
}

TEST(routing_plan, mode_1_with_both_channels_1_opens_two_channels_and_feeds_only_the_first) {
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_one, 0, 0);
  EXPECT_EQ(plan.device_channel_count, 2);
  EXPECT_EQ(plan.track_count, 1);
  EXPECT_EQ(plan.tracks[0].capture_channel, 0);
  ASSERT_EQ(plan.tracks[0].playback_channel_count, 1);
  EXPECT_EQ(plan.tracks[0].playback_channels[0], 0);
}

TEST(routing_plan, mode_2_with_output_2_feeds_playback_channels_2_and_3_of_four) {
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 0, 1);
  EXPECT_EQ(plan.device_channel_count, 4);
  ASSERT_EQ(plan.track_count, 2);
  ASSERT_EQ(plan.tracks[0].playback_channel_count, 1);
  ASSERT_EQ(plan.tracks[1].playback_channel_count, 1);
  EXPECT_EQ(plan.tracks[0].playback_channels[0], 1);
  EXPECT_EQ(plan.tracks[1].playback_channels[0], 2);
}

TEST(routing_plan, channel_count_is_the_smallest_even_number_covering_both_sides) {
  expect_channel_counts({
      // Mode 1: width 1, so an index that is even needs the next pair.
      {routing_mode::mono_to_one, 1, 0, 2},
      {routing_mode::mono_to_one, 0, 1, 2},
      {routing_mode::mono_to_one, 1, 1, 2},
      {routing_mode::mono_to_one, 0, 2, 4},
      {routing_mode::mono_to_one, 3, 3, 4},
      {routing_mode::mono_to_one, 4, 1, 6},
      // Modes 2 and 3: width 2 on both sides, so an odd index needs one more pair.
      {routing_mode::stereo_to_stereo, 0, 0, 2},
      {routing_mode::stereo_to_stereo, 1, 0, 4},
      {routing_mode::stereo_to_stereo, 0, 1, 4},
      {routing_mode::stereo_to_stereo, 2, 2, 4},
      {routing_mode::stereo_to_stereo, 3, 5, 8},
      {routing_mode::mono_to_both, 0, 0, 2},
      {routing_mode::mono_to_both, 2, 0, 4},
      {routing_mode::mono_to_both, 0, 2, 4},
      {routing_mode::mono_to_both, 5, 2, 8},
      {routing_mode::mono_to_both, 2, 7, 10},
  });
}

TEST(routing_plan, mode_1_routes_one_input_to_one_output) {
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_one, 4, 7);
  EXPECT_EQ(plan.mode, routing_mode::mono_to_one);
  ASSERT_EQ(plan.track_count, 1);
  EXPECT_EQ(plan.tracks[0].capture_channel, 4);
  ASSERT_EQ(plan.tracks[0].playback_channel_count, 1);
  EXPECT_EQ(plan.tracks[0].playback_channels[0], 7);
  EXPECT_EQ(plan.device_channel_count, 8);
}

TEST(routing_plan, mode_2_routes_each_input_of_the_pair_to_its_own_output) {
  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, 4, 7);
  EXPECT_EQ(plan.mode, routing_mode::stereo_to_stereo);
  ASSERT_EQ(plan.track_count, 2);
  EXPECT_EQ(plan.tracks[0].capture_channel, 4);
  ASSERT_EQ(plan.tracks[0].playback_channel_count, 1);
  EXPECT_EQ(plan.tracks[0].playback_channels[0], 7);
  EXPECT_EQ(plan.tracks[1].capture_channel, 5);
  ASSERT_EQ(plan.tracks[1].playback_channel_count, 1);
  EXPECT_EQ(plan.tracks[1].playback_channels[0], 8);
  EXPECT_EQ(plan.device_channel_count, 10);
}

TEST(routing_plan, mode_3_routes_one_input_to_both_outputs_of_the_pair) {
  const routing_plan plan = derive_routing_plan(routing_mode::mono_to_both, 4, 7);
  EXPECT_EQ(plan.mode, routing_mode::mono_to_both);
  ASSERT_EQ(plan.track_count, 1);
  EXPECT_EQ(plan.tracks[0].capture_channel, 4);
  ASSERT_EQ(plan.tracks[0].playback_channel_count, 2);
  EXPECT_EQ(plan.tracks[0].playback_channels[0], 7);
  EXPECT_EQ(plan.tracks[0].playback_channels[1], 8);
  EXPECT_EQ(plan.device_channel_count, 10);
}

TEST(routing_plan, highest_channel_256_fits_in_256_or_258_channels) {
  const int32_t last = max_channel_number - 1;
  expect_channel_counts({
      {routing_mode::mono_to_one, last, 0, 256},
      {routing_mode::mono_to_one, 0, last, 256},
      {routing_mode::mono_to_one, last, last, 256},
      {routing_mode::stereo_to_stereo, last, 0, 258},
      {routing_mode::stereo_to_stereo, 0, last, 258},
      {routing_mode::stereo_to_stereo, last, last, 258},
      {routing_mode::mono_to_both, last, 0, 258},
      {routing_mode::mono_to_both, 0, last, 258},
      {routing_mode::stereo_to_stereo, last - 1, last - 1, 256},
  });

  const routing_plan plan = derive_routing_plan(routing_mode::stereo_to_stereo, last, last);
  EXPECT_EQ(plan.tracks[1].capture_channel, 256);
  EXPECT_EQ(plan.tracks[1].playback_channels[0], 256);
  EXPECT_TRUE(routed_channels_inside_the_device(plan));
}

TEST(routing_plan, every_accepted_channel_pair_stays_inside_the_device) {
  const routing_mode modes[] = {routing_mode::mono_to_one, routing_mode::stereo_to_stereo,
                                routing_mode::mono_to_both};
  for (const routing_mode mode : modes) {
    for (int32_t i = 0; i < max_channel_number; ++i) {
      for (int32_t o = 0; o < max_channel_number; ++o) {
        const routing_plan plan = derive_routing_plan(mode, i, o);
        const int32_t width = mode == routing_mode::mono_to_one ? 1 : 2;
        const int32_t widest = std::max(i, o) + width;
        // The smallest even count of at least 2 that covers both sides.
        const int32_t expected = std::max(2, widest + widest % 2);
        if (plan.device_channel_count != expected || !routed_channels_inside_the_device(plan)) {
          ADD_FAILURE() << "mode " << static_cast<int>(mode) << ", indices " << i << ", " << o
                        << ": " << plan.device_channel_count << " channels, expected " << expected;
          return;
        }
      }
    }
  }
}

TEST(routing_plan, labels_name_each_mode) {
  EXPECT_STREQ(routing_mode_label(routing_mode::mono_to_one), "(mono in -> mono out)");
  EXPECT_STREQ(routing_mode_label(routing_mode::stereo_to_stereo), "(stereo in -> stereo out)");
  EXPECT_STREQ(routing_mode_label(routing_mode::mono_to_both), "(mono in -> stereo out)");
}
