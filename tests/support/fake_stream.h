// A stand-in for the two streams of a sound card, on a clock of its own, so
// that the transfer loop can be driven in-process. Playback plays and capture
// captures at the run's rate from the moment each is started; a read waits
// for its frames by moving the clock on; an empty playback stream underruns
// and a full capture stream overruns (or, like a sound server, plays on and
// keeps what it captures, without a word); each stream reports as its delay what it
// holds plus a fixed latency. Faults are scripted by call number. Every
// captured sample carries the clock frame it was captured at, and every
// frame played on the watched channel is kept with the frame it is heard
// at, so a test reads the delay at which each captured frame came out.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devices/stream_calls.h"

namespace fake_stream {

// A script entry meaning "what the stream model gives".
constexpr snd_pcm_sframes_t modelled = INT32_MAX;

struct script {
  std::vector<snd_pcm_sframes_t> reads;   // results by read number
  std::vector<snd_pcm_sframes_t> writes;  // results by write of audio (not silence)
  std::vector<snd_pcm_sframes_t> avail;   // playback's avail_update by call number
  std::vector<int64_t> stall_before_read;  // ms the whole process stands still before read n
  std::vector<int64_t> skip_before_read;   // frames a server plays as silence before read n, unreported
  int64_t latency = 0;          // frames each stream holds beyond its buffer
  bool reports_xruns = true;    // false: a sound server's streams, which never fail
  bool linked = false;          // starting playback starts capture
  int64_t capture_lag_ms = 0;   // capture starts this long after it is started
  double capture_ppm = 0;       // the capture clock's offset from playback's
  int32_t watch = 0;            // the playback channel whose frames are kept
  int32_t source = 0;           // the capture channel it carries
};

// A frame heard on the watched channel: the (playback) clock frame it was
// captured at and the one it was heard at, and its frame on the capture
// clock, which names it.
struct heard_frame {
  int64_t captured;
  int64_t heard;
  int64_t capture_frame;
};

struct transfer_record {
  bool playback = false;
  size_t frames = 0;           // frames asked
  long result = 0;
  bool interleaved = false;
  std::vector<void*> areas;    // the pointer array, or the one pointer
  std::vector<std::string> written;  // writes: each channel's bytes of all frames asked
};

struct stream_model {
  bool running = false, xrun = false;
  int64_t start_frame = 0;  // the clock frame its first frame moves at
  int64_t moved = 0;        // frames read or written since it was prepared
};

struct state {
  script plan;
  int32_t channel_count = 0;
  uint32_t rate = 44100;
  int64_t clock_ns = 0;
  stream_model playback, capture;
  size_t read_calls = 0, write_calls = 0, avail_calls = 0;
  std::vector<transfer_record> transfers;
  std::vector<heard_frame> heard;
};

extern state current;

// Starts a fresh fake for a device of `channel_count` channels at `rate`.
void reset(int32_t channel_count, uint32_t rate = 44100);

snd_pcm_t* playback_handle();
snd_pcm_t* capture_handle();

// Sample k of channel c of the capture stream: a 24-bit value that names k
// modulo 2^24, and never 0 on the clock frames the fake runs at.
uint32_t captured_sample(int32_t channel, uint64_t k);

extern const stream_calls calls;

}  // namespace fake_stream
