// A scripted stand-in for the two sound streams, so that the transfer loop
// can be driven in-process with chosen availability counts, short transfers
// and errors. The fake's calls consult one global state: the script of
// results, a per-channel counter that numbers every captured sample, and a
// record of every call together with the bytes handed to each playback write.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_loop.h"

namespace fake_stream {

// A script entry meaning "as many frames as the call asked for".
constexpr snd_pcm_sframes_t whole_request = INT32_MAX;

enum class call_kind { wait, avail_update, readn, writen, prepare, resume, start, drop, delay };

struct call_record {
  call_kind kind = call_kind::wait;
  snd_pcm_t* stream = nullptr;
  int timeout_ms = 0;             // wait only
  long delay = 0;                 // delay: the frames reported
  snd_pcm_uframes_t frames = 0;   // transfers: frames asked
  long result = 0;                // what the fake returned
  bool interleaved = false;       // transfers: readi or writei, not readn or writen
  std::vector<void*> areas;       // transfers: the pointer array, or the one pointer
  std::vector<std::string> written;  // writes: each channel's bytes of all frames asked
};

// Results by call number (0 for the first call of that kind); calls past the
// end of a list get the default.
struct script {
  std::vector<snd_pcm_sframes_t> avail;
  std::vector<snd_pcm_sframes_t> reads;
  std::vector<snd_pcm_sframes_t> writes;
  std::vector<int> resumes;
  // What snd_pcm_delay reports, by call number on each stream: by default
  // a device that adds nothing, the cushion less a frame queued for playback
  // and that frame waiting in capture.
  std::vector<snd_pcm_sframes_t> playback_delays;
  std::vector<snd_pcm_sframes_t> capture_delays;
  snd_pcm_sframes_t default_avail = 4096;
  snd_pcm_sframes_t default_read = whole_request;
  snd_pcm_sframes_t default_write = whole_request;
  int default_resume = 0;
};

struct state {
  script plan;
  int32_t channel_count = 0;
  std::vector<uint64_t> samples_captured;  // per channel: samples delivered so far
  std::vector<call_record> calls;
  size_t avail_calls = 0, read_calls = 0, write_calls = 0, resume_calls = 0;
  size_t playback_delay_calls = 0, capture_delay_calls = 0;
};

extern state current;

// Starts a fresh fake for a device of `channel_count` channels.
void reset(int32_t channel_count);

// Sets entry `index` of a script list, filling the entries before it with
// `filler`.
void set_result(std::vector<snd_pcm_sframes_t>& list, size_t index, snd_pcm_sframes_t result,
                snd_pcm_sframes_t filler = whole_request);

// The distinct handles the fake answers to; nothing behind them is touched.
snd_pcm_t* playback_handle();
snd_pcm_t* capture_handle();

// Sample k of channel c of the capture stream, a 24-bit value that does not
// repeat within any run the tests make.
uint32_t captured_sample(int32_t channel, uint64_t k);

extern const stream_calls calls;

// The records of one kind, in call order.
std::vector<const call_record*> records_of(call_kind kind);

}  // namespace fake_stream
