// Starting the two streams together, and starting them together again: the
// cushion of silence goes to prepared playback, which never starts on its
// own, and then both streams start at once, so that frames read and frames
// played count from one moment. Also what a restart needs to know of the
// run since the last start (how far the audio due out fell behind the
// clock), and the watch on a stream that keeps failing, which restarts both
// and in the end gives up.
#pragma once

#include <cstdint>

#include "engine/block_transfer.h"

// Silence written to playback before each start, so that a block that comes
// late never lets playback run dry: four blocks when the delay asked is as
// long, else three. It is taken out of the ring offset, so the delay heard
// stays the one asked for; a delay shorter than three blocks is heard as the
// cushion. Three blocks cover a block read and a block late; the fourth
// covers what a sound server adds: capture handed over three server quanta
// at a time (more than a block at 44100), and capture that starts a quantum
// or two after playback on a loaded machine.
constexpr size_t cushion_frames = 3 * frames_per_block;
constexpr size_t longest_cushion_frames = 4 * frames_per_block;

// The cushion for a delay of `delay_frames`.
size_t cushion_for(size_t delay_frames);

// Writes `cushion` frames of silence to prepared playback and starts both
// streams: with one call where they are linked, else playback and then
// capture, back to back. Returns the frames of silence written.
size_t start_streams(const audio_path& path, size_t cushion);

// Drops whatever both streams hold, prepares them and starts them as above.
size_t restart_streams(const audio_path& path, size_t cushion);

// The streams' run since their last start, as the transfer loop counts it.
struct stream_run {
  int64_t start_ns = 0;          // when the streams last started
  int64_t written_at_start = 0;  // frames playback had taken by then, its cushion included
  int64_t last_write_ns = 0;     // when playback last took frames; 0 before the first
};

// The run that begins now, with `written` frames taken by playback so far.
stream_run run_from_now(const audio_path& path, int64_t written);

// How many frames the audio still to play has fallen behind the clock, when
// playback has taken `written` frames and `unwritten` more could not be
// written: the frames of time since the start beyond those playback was
// given. Negative when playback still holds frames, as many as it says it
// holds: a device with no clock of its own, such as a file, has played all
// it was given.
int64_t frames_behind(const audio_path& path, const stream_run& run, int64_t written, size_t unwritten,
                      uint32_t rate);

// A stream that moves no frame in every cycle for this many seconds' worth of
// full cycles ends the run: its transfers fail, or playback offers no room at
// all. After each whole second of such cycles both streams are started again.
constexpr uint32_t failing_stream_seconds = 5;
constexpr uint32_t restart_stream_seconds = 1;

// Counts the cycles in a row in which one stream failed to move frames.
struct failure_watch {
  const char* message;  // printf format of the message that ends the run
  uint64_t failed_cycles = 0;
  uint64_t restart_cycles = 1;  // failed cycles in a row before a restart
  uint64_t limit = 1;           // failed cycles in a row that end the run
};

// A watch whose restart and limit are those seconds of full cycles at `rate`.
failure_watch watch_for(const char* message, uint32_t rate);

// Counts one more failed cycle; `error` names the failure should it end the
// run. Returns whether both streams are due to be started again.
bool failed_again(failure_watch& watch, snd_pcm_sframes_t error);
