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

TEST(delay_keeping, a_start_is_measured_once_on_the_lowest_look_of_its_first_second_or_a_shorter_span) {
  const struct {
    const char* name;
    std::vector<int64_t> looks;  // one a block apart, over and over; 0 is a look the streams could not give
    int64_t shed;                // what the measurement sheds, once
    int64_t span = rate;         // the frames it is measured over
  } cases[] = {
      {"steady", {asked + 64}, 64},
      {"over two blocks", {asked + 64, asked + 70, asked - 500}, 64, 8192},
      {"short of the delay", {asked - 300}, -300},
      {"two families", {asked + 1700, asked + 1693, asked + 7, asked + 1702, asked + 5}, 5},
      {"climbing and falling back", {asked + 900, asked + 500, asked + 100, asked + 2300, asked + 1900}, 100},
      {"no usable look", {0}, 0},
  };
  for (const auto& c : cases) {
    delay_keeping keeping = keep_delay_of(asked, rate, c.span);
    int64_t shed = 0, corrections = 0;
    for (size_t k = 0; k < 24; ++k) {
      const int64_t look = c.looks[k % c.looks.size()];
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
    delay_keeping keeping = keep_delay_of(asked, rate, rate);
    take_look(keeping, true, asked, rate);  // the start's measurement
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
