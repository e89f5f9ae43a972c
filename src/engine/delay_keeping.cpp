#include "engine/delay_keeping.h"

#include <algorithm>
#include <cstdlib>

namespace {

void start_window(delay_keeping& keeping) {
  keeping.look_count = 0;
  keeping.frames = 0;
}

// The spread of the looks kept, and their median or, with `lowest`, their
// lowest. Reorders the looks, which are done with.
int64_t summarise(delay_keeping& keeping, int64_t& spread, bool lowest_when_spread) {
  int64_t* const begin = keeping.looks;
  int64_t* const end = begin + keeping.look_count;
  const auto [low, high] = std::minmax_element(begin, end);
  spread = *high - *low;
  if (lowest_when_spread && spread > keeping.rate * report_wander_ms / 1000) return *low;
  int64_t* const middle = begin + keeping.look_count / 2;
  std::nth_element(begin, middle, end);
  return *middle;
}

// The measurement ends: returns what it found beyond the delay asked, which
// the caller sheds or pads so that the looks read the delay asked from now on.
int64_t settle(delay_keeping& keeping) {
  int64_t spread = 0;
  const int64_t excess = keeping.look_count > 0 ? summarise(keeping, spread, true) - keeping.asked : 0;
  keeping.measuring = false;
  keeping.reference = keeping.last_median = keeping.asked;
  keeping.since_median = 0;
  start_window(keeping);
  return excess;
}

// A half second whose looks agreed ends with their median `median`; returns
// what to shed or pad at once.
int64_t follow(delay_keeping& keeping, int64_t median) {
  int64_t now = 0;
  const int64_t change = median - keeping.last_median;
  if (std::abs(change) * 1000000 > most_drift_ppm * keeping.since_median) {
    // Only a step seen within a second and a half (the half second it fell
    // in, whose looks disagree, and the next) is timed well enough to be the
    // sound's own: across longer spells of looks that did not agree, the
    // reports themselves were on the move.
    const bool in_a_row = keeping.since_median < keeping.rate * 3 / 2;
    if (in_a_row && std::abs(change) * 1000 > keeping.rate * report_wander_ms) {
      now = change;
      keeping.slipped += change;
    } else {
      keeping.reference += change;
    }
  }
  keeping.last_median = median;
  keeping.since_median = 0;
  const int64_t due = median - keeping.reference - keeping.slipped;
  keeping.slip = std::abs(due) * 2000 > keeping.rate ? due : 0;
  keeping.done = keeping.slip_frames = 0;
  return now;
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
  keeping.since_median += static_cast<int64_t>(frames);
  if (usable && keeping.look_count < most_kept_looks) {
    keeping.looks[keeping.look_count++] = heard + keeping.slipped;
  }
  if (keeping.measuring) return last || keeping.frames >= keeping.rate ? settle(keeping) : 0;
  if (keeping.frames < keeping.rate / 2) return 0;
  int64_t now = 0;
  if (keeping.look_count >= agreeing_looks) {
    int64_t spread = 0;
    const int64_t median = summarise(keeping, spread, false);
    if (spread * 1000 <= keeping.rate) now = follow(keeping, median);
  }
  start_window(keeping);
  return now;
}

int64_t slip_in(delay_keeping& keeping, size_t frames) {
  if (keeping.slip == keeping.done) return 0;
  const int64_t spread = keeping.rate * slip_spread_seconds;
  keeping.slip_frames = std::min(keeping.slip_frames + static_cast<int64_t>(frames), spread);
  const int64_t due = keeping.slip * keeping.slip_frames / spread - keeping.done;
  keeping.done += due;
  keeping.slipped += due;
  return due;
}
