#include "devices/stream_calls.h"

#include <ctime>

namespace {

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

const stream_calls alsa_stream_calls = {
    snd_pcm_wait,    snd_pcm_avail_update, snd_pcm_readn, snd_pcm_writen, snd_pcm_readi,
    snd_pcm_writei,  snd_pcm_prepare,      snd_pcm_start, snd_pcm_drop,   snd_pcm_delay,
    monotonic_ns,
};
