// The seam between a run's loop and its two streams: the few stream calls
// the loop makes, and the clock it reads. The program uses alsa_stream_calls;
// tests substitute a fake whose streams move on a clock of its own. A stream
// is read and written through readn and writen, or through readi and writei
// when its staging block is interleaved.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

struct stream_calls {
  int (*wait)(snd_pcm_t* stream, int timeout_ms);
  snd_pcm_sframes_t (*avail_update)(snd_pcm_t* stream);
  snd_pcm_sframes_t (*readn)(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*writen)(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*readi)(snd_pcm_t* stream, void* frames_area, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*writei)(snd_pcm_t* stream, const void* frames_area, snd_pcm_uframes_t frames);
  int (*prepare)(snd_pcm_t* stream);
  int (*start)(snd_pcm_t* stream);
  int (*drop)(snd_pcm_t* stream);
  int (*delay)(snd_pcm_t* stream, snd_pcm_sframes_t* frames);
  int64_t (*now_ns)();  // a monotonic clock, in nanoseconds
};

extern const stream_calls alsa_stream_calls;
