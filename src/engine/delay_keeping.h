// Keeping the delay heard at the one asked for, from looks at what the
// streams report: the frames a sound captured now takes to be heard. It
// knows no stream; it takes looks and says how many frames to shed, pad or
// slip.
//
// After each start of the streams the delay heard is measured once: it is
// the median of the usable looks made before the sound captured since the
// start begins to play, at most a second's worth, or their lowest when they
// spread over more than report_wander_ms, and what it finds beyond the delay
// asked is shed at once (short of it, padded). A sound server whose capture
// reports run high, climbing and falling back, has its sound at their foot.
//
// Between starts the looks are taken half a second at a time, and only
// halves with three looks or more that agree to a millisecond count (a
// server's looks that run high are seldom alike); each one's median is set
// against the last one's. A change that clocks most_drift_ppm apart could
// drift in that time is drift; a faster one is the sound's own (a server
// that skipped a quantum of the output) when it is larger than
// report_wander_ms and shows within a second and a half of the last half
// whose looks agreed, and is shed or padded at once; else it is the reports'
// own (a server's reports can run on for seconds after a start), and moves
// the reference the looks are kept at. A median more than half a millisecond
// off the reference is slipped, a frame at a time, over the next two seconds.
// Looks are counted as if nothing had been slipped or shed since the
// measurement, so that a correction never reads as drift.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int64_t most_drift_ppm = 300;
constexpr int64_t report_wander_ms = 10;  // the most a server's reports stray while the sound stays put
constexpr uint32_t slip_spread_seconds = 2;
constexpr size_t most_kept_looks = 128;
constexpr size_t agreeing_looks = 3;

struct delay_keeping {
  int64_t asked = 0;  // frames: the delay heard to keep
  int64_t rate = 0;
  bool measuring = false;
  // The looks of the measurement, or of the half second under way, and the
  // frames played since it began.
  int64_t looks[most_kept_looks] = {};
  size_t look_count = 0;
  int64_t frames = 0;
  // Since the measurement, in looks counted as if nothing had been slipped.
  int64_t reference = 0;       // the look at which the delay heard is the one asked
  int64_t last_median = 0;     // of the last half second whose looks agreed
  int64_t since_median = 0;    // frames played since that half second ended
  int64_t slipped = 0;         // frames dropped or shed so far, less frames added or padded
  // The slip under way: `slip` frames spread over slip_spread_seconds,
  // `done` of them slipped after `slip_frames` frames played.
  int64_t slip = 0;
  int64_t done = 0;
  int64_t slip_frames = 0;
};

// A keeping of `asked` frames at `rate` frames per second, to be measured.
delay_keeping keep_delay_of(int64_t asked, uint32_t rate);

// The streams started (again): the delay heard is to be measured anew.
void measure_anew(delay_keeping& keeping);

// Takes a look, made after `frames` more frames were played: `heard` is the
// delay heard, usable only when the streams reported it. `last` says that
// the sound captured since the start plays from the cycle this look is made
// in: the measurement ends with it. Returns the frames to shed now
// (positive) or to pad with silence (negative), 0 for none.
int64_t take_look(delay_keeping& keeping, bool usable, int64_t heard, size_t frames, bool last);

// The frames to slip in a cycle that plays `frames`: positive to drop,
// negative to add.
int64_t slip_in(delay_keeping& keeping, size_t frames);
