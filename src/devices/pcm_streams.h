// The two streams of the one sound device: this module owns both handles from
// open to close. It opens and configures playback, then capture, with the
// same layout (24-bit samples in 3 bytes, blocking; non-interleaved, or
// interleaved where the device takes only that), links them where the device
// can start them with one call, prepares them just before the transfer loop
// and drains and closes them after it. Playback never starts by itself: the
// transfer loop starts both streams. The transfers themselves are the
// transfer loop's.
#pragma once

#include <alsa/asoundlib.h>

#include "settings/routing_plan.h"
#include "settings/run_settings.h"

struct pcm_pair {
  snd_pcm_t* playback = nullptr;
  snd_pcm_t* capture = nullptr;
  bool playback_interleaved = false;  // the access each stream was given
  bool capture_interleaved = false;
  uint32_t rate = 0;    // frames per second both streams were given
  bool linked = false;  // starting, dropping or preparing one does both
};

constexpr snd_pcm_uframes_t requested_period_frames = 4096;
// Playback has room for the transfer loop's cushion of silence and a block
// beyond it with some to spare, so that a device that wakes the loop before
// it has room cannot make it spin; capture holds four blocks.
constexpr snd_pcm_uframes_t requested_playback_buffer_frames = 32768;
constexpr snd_pcm_uframes_t requested_capture_buffer_frames = 16384;

// Opens and configures playback, then capture, on settings.device_name with
// plan.device_channel_count channels. Any failure is reported (on standard
// error; a refused capture configuration on standard output with the values
// the driver returned) and ends the process. The rate granted may differ
// from the one asked, but not between the two streams: that is refused.
pcm_pair open_streams(const run_settings& settings, const routing_plan& plan);

// Prepares playback, then capture.
void prepare_streams(const pcm_pair& streams);

// Unlinks the streams, drains playback, drains capture, closes playback, closes capture. A drain
// that does not end within the time its stream's buffer takes to play (no
// time at all for capture) is cut short with snd_pcm_drop, so the run always
// ends.
void close_streams(pcm_pair& streams);
