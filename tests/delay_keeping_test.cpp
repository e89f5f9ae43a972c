// The delay keeping on its own: what a start's measurement sheds, and what
// is slipped for looks that drift as clocks do, or that wander as a busy
// server's reports do while the sound stays put.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/delay_keeping.h"

namespace {

constexpr uint32_t rate = 48000;
constexpr int64_t asked = 72000;

TEST(delay_keeping, a_start_is_measured_once_on_the_median_of_its_usable_looks_until_the_new_sound_plays) {
  const struct {
    const char* name;
    std::vector<int64_t> looks;  // beyond the delay asked, a block apart; 999 is unusable
    size_t last;                 // the look after which the new sound plays
    int64_t shed;
  } cases[] = {
      {"steady", std::vector<int64_t>(20, 64), 99, 64},
      {"two stray looks", {-200, 10, 999, 12, 250, 11, 999, 13, 9, 12, 10, 11, 12, 10}, 99, 11},
      {"the new sound plays from the first cycle", {64, 500, 500}, 0, 64},
      {"no usable look", std::vector<int64_t>(20, 999), 99, 0},
      {"climbing and falling back, from the foot", {-2196, -1882, -1567, -1253, -937, -621, -307, -2190, -1880, -1560, -1250, -930}, 11, -2196},
  };
  for (const auto& c : cases) {
    delay_keeping keeping = keep_delay_of(asked, rate);
    int64_t shed = 0, corrections = 0;
    for (size_t k = 0; k < c.looks.size(); ++k) {
      const int64_t now = take_look(keeping, c.looks[k] != 999, asked + c.looks[k], k == 0 ? 0 : 4096,
                                    k == c.last);
      shed += now;
      corrections += now != 0;
    }
    EXPECT_EQ(shed, c.shed) << c.name;
    EXPECT_LE(corrections, 1) << c.name;
  }
}

TEST(delay_keeping, drift_is_slipped_a_frame_at_a_time_a_skipped_quantum_set_right_at_once_and_wandering_reports_left_alone) {
  const struct {
    const char* name;
    double ppm;            // how fast the sound drifts from the delay asked
    int64_t step;          // frames the sound jumps by after 5 s
    int64_t jump;          // frames the reports alone jump by after 5 s ...
    double wander_ppm;     // ... or run away at, for 4 s from 5 s on
    int64_t sawtooth;      // ... or climb by, a block at a time, falling back every 8
    int64_t least, most;   // frames slipped or shed in 120 s
  } cases[] = {
      {"one clock", 0, 0, 0, 0, 0, 0, 0},
      {"capture 200 ppm fast", 200, 0, 0, 0, 0, 1100, 1200},
      {"capture 200 ppm slow", -200, 0, 0, 0, 0, -1200, -1100},
      {"a quantum skipped", 0, 2048, 0, 0, 0, 2048, 2048},
      {"reports jumping 3 ms", 0, 0, 144, 0, 0, 0, 0},
      {"reports running 700 ppm away", 0, 0, 0, 700, 0, 0, 0},
      {"reports running 12 ms away in 4 s, as after a start", 0, 0, 0, 3000, 0, 0, 0},
      {"reports climbing and falling back", 0, 0, 0, 0, 300, 0, 0},
  };
  for (const auto& c : cases) {
    delay_keeping keeping = keep_delay_of(asked, rate);
    take_look(keeping, true, asked, 0, true);
    int64_t slipped = 0, worst = 0;
    for (int64_t played = 0, k = 0; played < 120 * rate; played += 4096, ++k) {
      const int64_t off = static_cast<int64_t>(c.ppm * static_cast<double>(played) / 1e6) +
                          (played > 5 * rate ? c.step : 0) - slipped;
      const double wandered = std::clamp(static_cast<double>(played - 5 * rate), 0.0, 4.0 * rate);
      const auto report = static_cast<int64_t>(c.wander_ppm * wandered / 1e6) +
                          (played > 5 * rate ? c.jump : 0) + c.sawtooth * (k % 8);
      slipped += take_look(keeping, true, asked + off + report, 4096, false);
      const int64_t slip = slip_in(keeping, 4096);
      EXPECT_LE(std::abs(slip), 2) << c.name << ": frames slipped at once";
      slipped += slip;
      if (played < 5 * rate || played > 7 * rate) worst = std::max(worst, std::abs(off));
    }
    EXPECT_GE(slipped, c.least) << c.name;
    EXPECT_LE(slipped, c.most) << c.name;
    EXPECT_LE(worst, rate / 1000 * 2) << c.name << ": the delay heard strayed from the one asked";
  }
}

}  // namespace
