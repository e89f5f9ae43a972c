// The delay keeping on its own: what it sheds after a start, and what it
// slips for looks that drift as clocks do, or wander as a busy server's
// reports do.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/delay_keeping.h"

namespace {

constexpr uint32_t rate = 48000;
constexpr int64_t asked = 72000;

TEST(delay_keeping, a_start_is_measured_on_the_first_look_that_agrees_with_the_one_before_else_the_lowest_of_its_second) {
  const struct {
    const char* name;
    std::vector<int64_t> looks;  // one a block apart; 0 is a look the streams could not give
    int64_t shed;                // what the measurement sheds, once
  } cases[] = {
      {"agreeing", {asked + 64, asked + 64}, 64},
      {"agreeing within a millisecond", {asked + 100, asked + 140}, 140},
      {"settling", {asked - 900, asked - 300, asked + 10, asked + 12}, 12},
      {"climbing and falling back",
       {asked + 900, asked + 500, asked + 100, asked + 2300, asked + 1900, asked + 1500, asked + 1100,
        asked + 700, asked + 300, asked + 2400, asked + 2000, asked + 1600},
       100},
      {"no usable look", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
  };
  for (const auto& c : cases) {
    delay_keeping keeping = keep_delay_of(asked, rate);
    int64_t shed = 0, corrections = 0;
    for (const int64_t look : c.looks) {
      const int64_t now = take_look(keeping, look != 0, look, 4096);
      shed += now;
      corrections += now != 0;
    }
    EXPECT_EQ(shed, c.shed) << c.name;
    EXPECT_LE(corrections, 1) << c.name;
  }
}

TEST(delay_keeping, drift_is_slipped_frame_by_frame_and_reports_that_wander_faster_than_clocks_drift_are_left_alone) {
  const struct {
    const char* name;
    double ppm;         // how fast the looks move away from the delay asked
    int64_t jump;       // frames the looks jump by after 5 s
    int64_t slipped;    // at least this many frames slipped in 60 s, in the drift's direction
    int64_t most;       // and at most this many
  } cases[] = {
      {"one clock", 0, 0, 0, 0},
      {"capture 200 ppm fast", 200, 0, 500, 600},
      {"capture 200 ppm slow", -200, 0, -600, -500},
      {"reports 16 ms off", 0, 768, 0, 0},
  };
  for (const auto& c : cases) {
    delay_keeping keeping = keep_delay_of(asked, rate);
    take_look(keeping, true, asked, 0);
    take_look(keeping, true, asked, 4096);
    int64_t slipped = 0;
    for (int64_t played = 0; played < 60 * rate; played += 4096) {
      const double drift = c.ppm * static_cast<double>(played) / 1e6;
      const int64_t look = asked + static_cast<int64_t>(drift) - slipped + (played > 5 * rate ? c.jump : 0);
      EXPECT_EQ(take_look(keeping, true, look, 4096), 0) << c.name;
      const int64_t slip = slip_in(keeping, 4096);
      EXPECT_LE(std::abs(slip), 2) << c.name << ": frames slipped at once";
      slipped += slip;
    }
    EXPECT_GE(slipped, c.slipped) << c.name;
    EXPECT_LE(slipped, c.most) << c.name;
  }
}

}  // namespace
