#include "engine/delay_keeping.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Starts collecting looks afresh, for the measurement or a drift window.
void start_window(delay_keeping& keeping) {
  keeping.look_count = 0;
  keeping.frames = 0;
  keeping.since_kept_look = 0;
}

void keep(delay_keeping& keeping, int64_t look) {
  if (keeping.look_count < most_kept_looks) keeping.looks[keeping.look_count++] = look;
}

// Reorders the looks, which are done with.
int64_t median_look(delay_keeping& keeping) {
  int64_t* middle = keeping.looks + keeping.look_count / 2;
  std::nth_element(keeping.looks, middle, keeping.looks + keeping.look_count);
  return *middle;
}

// The measurement ends: returns what it found beyond the delay asked, which
// the caller sheds or pads so that the looks read the delay asked from now on.
int64_t settle(delay_keeping& keeping) {
  keeping.measuring = false;
  const int64_t excess = keeping.look_count > 0 ? median_look(keeping) - keeping.asked : 0;
  keeping.reference = keeping.last_median = keeping.asked;
  start_window(keeping);
  return excess;
}

// A drift window ends with its median look `median`, counted as if nothing
// had been slipped.
void follow_drift(delay_keeping& keeping, int64_t median) {
  const int64_t change = median - keeping.last_median;
  if (std::abs(change) * 1000000 > most_drift_ppm * keeping.frames) keeping.reference += change;
  keeping.last_median = median;
  const int64_t due = median - keeping.reference - keeping.slipped;
  const bool noticeable = std::abs(due) * 2000 > keeping.rate;
  keeping.slip = noticeable ? due : 0;
  keeping.done = keeping.slip_frames = 0;
}

}  // namespace

delay_keeping keep_delay_of(int64_t asked, uint32_t rate) {
  delay_keeping keeping;
  keeping.asked = asked;
  keeping.rate = rate;
  measure_anew(keeping);
  return keeping;
}

void measure_anew(delay_keeping& keeping) {
  keeping.measuring = true;
  keeping.slipped = keeping.slip = keeping.done = keeping.slip_frames = 0;
  start_window(keeping);
}

int64_t take_look(delay_keeping& keeping, bool usable, int64_t heard, size_t frames, bool last) {
  keeping.frames += static_cast<int64_t>(frames);
  keeping.since_kept_look += static_cast<int64_t>(frames);
  if (keeping.measuring) {
    if (usable) keep(keeping, heard);
    return last || keeping.frames >= keeping.rate ? settle(keeping) : 0;
  }
  // A look at most every 1/32 s, so that short cycles do not fill the window.
  if (usable && keeping.since_kept_look >= keeping.rate / 32) {
    keep(keeping, heard + keeping.slipped);
    keeping.since_kept_look = 0;
  }
  if (keeping.frames >= keeping.rate * drift_window_seconds && keeping.look_count > 0) {
    follow_drift(keeping, median_look(keeping));
    start_window(keeping);
  }
  return 0;
}

int64_t slip_in(delay_keeping& keeping, size_t frames) {
  if (keeping.slip == keeping.done) return 0;
  const int64_t window = keeping.rate * drift_window_seconds;
  keeping.slip_frames = std::min(keeping.slip_frames + static_cast<int64_t>(frames), window);
  const int64_t due = keeping.slip * keeping.slip_frames / window - keeping.done;
  keeping.done += due;
  keeping.slipped += due;
  return due;
}
