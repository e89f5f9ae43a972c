#include "engine/delay_keeping.h"

#include <algorithm>
#include <cstdlib>

namespace {

int64_t window_length(const delay_keeping& keeping) { return keeping.rate * drift_window_seconds; }

void start_window(delay_keeping& keeping) {
  keeping.look_count = 0;
  keeping.window_frames = 0;
  keeping.since_kept_look = 0;
}

// The measurement is set on `heard`: the excess is corrected at once, and the
// drift windows start from here.
int64_t settle(delay_keeping& keeping, int64_t heard) {
  keeping.measuring = false;
  keeping.slip = keeping.slipped = keeping.slip_frames = 0;
  start_window(keeping);
  return heard - keeping.asked;
}

// Reorders the window's looks, which are done with.
int64_t median_look(delay_keeping& keeping) {
  int64_t* middle = keeping.looks + keeping.look_count / 2;
  std::nth_element(keeping.looks, middle, keeping.looks + keeping.look_count);
  return *middle;
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
  keeping.have_look = false;
  keeping.since_start = 0;
  keeping.slip = keeping.slipped = keeping.slip_frames = 0;
}

int64_t take_look(delay_keeping& keeping, bool usable, int64_t heard, size_t frames) {
  const auto played = static_cast<int64_t>(frames);
  if (keeping.measuring) {
    keeping.since_start += played;
    if (usable) {
      if (keeping.have_look && std::abs(heard - keeping.last_look) <= keeping.rate / 1000) {
        return settle(keeping, heard);
      }
      keeping.lowest_look = keeping.have_look ? std::min(keeping.lowest_look, heard) : heard;
      keeping.have_look = true;
      keeping.last_look = heard;
    }
    if (keeping.since_start < keeping.rate) return 0;
    // A device that reports nothing usable is left as it is.
    if (!keeping.have_look) {
      keeping.measuring = false;
      return 0;
    }
    return settle(keeping, keeping.lowest_look);
  }

  keeping.window_frames += played;
  keeping.since_kept_look += played;
  if (usable && keeping.look_count < most_window_looks &&
      keeping.since_kept_look >= keeping.rate / 32) {
    keeping.looks[keeping.look_count++] = heard;
    keeping.since_kept_look = 0;
  }
  if (keeping.window_frames < window_length(keeping)) return 0;
  if (keeping.look_count > 0) {
    const int64_t off = median_look(keeping) - keeping.asked;
    const bool plausible = std::abs(off) * 1000000 <= window_length(keeping) * most_drift_ppm;
    if (std::abs(off) * 2000 > keeping.rate && plausible) {
      keeping.slip = off;
      keeping.slipped = keeping.slip_frames = 0;
    }
  }
  start_window(keeping);
  return 0;
}

int64_t slip_in(delay_keeping& keeping, size_t frames) {
  if (keeping.slip == keeping.slipped) return 0;
  keeping.slip_frames =
      std::min(keeping.slip_frames + static_cast<int64_t>(frames), window_length(keeping));
  const int64_t due = keeping.slip * keeping.slip_frames / window_length(keeping) - keeping.slipped;
  keeping.slipped += due;
  return due;
}
