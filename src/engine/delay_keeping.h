// Keeping the delay heard at the one asked for, from looks at what the
// streams report: the frames a sound captured now takes to be heard. It
// knows no stream; it takes looks and says how many frames to shed, pad or
// slip.
//
// After each start of the streams, the delay heard is measured once: it is
// the first look of the start's first second that agrees to within a
// millisecond with the look before it, or else that second's lowest look,
// and what it finds beyond the delay asked is shed at once (or, short of it,
// padded). A server whose graph runs a cycle behind the start reports it from
// the second look on, and those looks agree. A server whose reports after the
// start run a sawtooth tens of milliseconds wide, no two of them alike, has
// its sound near the lowest of them: mostly the look made as the streams
// start, and the sawtooth's foot when a stream started late.
//
// Between starts nothing is shed or padded; only drift is followed: every few
// seconds, when the median of those seconds' looks is off the delay asked by
// more than half a millisecond, and by no more than two clocks most_drift_ppm
// apart drift in those seconds, that much is slipped, a frame at a time,
// spread evenly over the next few seconds. A sound server's reports can jump
// by milliseconds in seconds and stay there while the sound does not move;
// that is not drift, and is left alone.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t drift_window_seconds = 4;
constexpr int64_t most_drift_ppm = 500;
constexpr size_t most_window_looks = 128;

struct delay_keeping {
  int64_t asked = 0;  // frames: the delay heard to keep
  int64_t rate = 0;
  // The measurement after a start.
  bool measuring = false;
  bool have_look = false;
  int64_t last_look = 0;
  int64_t lowest_look = 0;
  int64_t since_start = 0;  // frames played since the start
  // The drift window: its looks, a look at most every 1/32 s.
  int64_t looks[most_window_looks] = {};
  size_t look_count = 0;
  int64_t window_frames = 0;
  int64_t since_kept_look = 0;
  // The slip spread over the window after the one that measured it:
  // positive frames are dropped, negative ones added.
  int64_t slip = 0;
  int64_t slipped = 0;
  int64_t slip_frames = 0;  // frames played since the slip was set
};

// A keeping of `asked` frames at `rate` frames per second, to be measured.
delay_keeping keep_delay_of(int64_t asked, uint32_t rate);

// The streams started (again): the delay heard is to be measured anew, and
// drift is followed afresh once it is.
void measure_anew(delay_keeping& keeping);

// Takes a look, made after `frames` more frames were played: `heard` is the
// delay heard, usable only when the streams reported it. Returns the frames
// to shed now (positive) or to pad with silence (negative), 0 for none.
int64_t take_look(delay_keeping& keeping, bool usable, int64_t heard, size_t frames);

// The frames to slip in a cycle that plays `frames`: positive to drop,
// negative to add.
int64_t slip_in(delay_keeping& keeping, size_t frames);
