// The main loop of a run: each cycle reads a block of captured frames, passes
// each track's bytes through its ring and hands the delayed bytes to playback,
// until the frame budget has been played. It keeps playback a cushion of
// silence ahead of capture, restarts streams that fail, and holds the delay
// heard constant across those restarts. It owns only the loop's positions and
// counters: the streams belong to the device module, the memory to
// ring_buffer.
#pragma once

#include <alsa/asoundlib.h>

#include "devices/pcm_streams.h"
#include "engine/ring_buffer.h"
#include "settings/routing_plan.h"
#include "settings/run_settings.h"

// The few stream calls the loop makes. The program uses alsa_stream_calls;
// tests substitute scripted ones. A stream is read and written through
// readn and writen, or through readi and writei when its staging block is
// interleaved.
struct stream_calls {
  int (*wait)(snd_pcm_t* stream, int timeout_ms);
  snd_pcm_sframes_t (*avail_update)(snd_pcm_t* stream);
  snd_pcm_sframes_t (*readn)(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*writen)(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*readi)(snd_pcm_t* stream, void* frames_area, snd_pcm_uframes_t frames);
  snd_pcm_sframes_t (*writei)(snd_pcm_t* stream, const void* frames_area, snd_pcm_uframes_t frames);
  int (*prepare)(snd_pcm_t* stream);
  int (*resume)(snd_pcm_t* stream);
  int (*start)(snd_pcm_t* stream);
  int (*drop)(snd_pcm_t* stream);
  int (*delay)(snd_pcm_t* stream, snd_pcm_sframes_t* frames);
};

extern const stream_calls alsa_stream_calls;

constexpr int wait_timeout_ms = 100;

// Silence written to playback before the first captured frame, and again
// whenever playback is prepared anew: three blocks, what a capture-paced
// loop needs so that a block that comes late never lets playback run dry.
// It is taken out of the ring offset, so the delay heard stays the one asked
// for; a shorter delay is heard as the cushion.
constexpr size_t cushion_frames = 3 * frames_per_block;

// A stream that moves no frame in every cycle for this many seconds' worth of
// full cycles ends the run: its transfers fail (an overrun or underrun counts
// too), or playback offers no room at all. After each whole second of such
// cycles the stream is dropped and prepared again first.
constexpr uint32_t failing_stream_seconds = 5;
constexpr uint32_t restart_stream_seconds = 1;

// Runs cycles until settings.frame_budget frames have been played, silence
// included (none when it is 0), then writes the closing line. Marks overruns
// ("RX") and underruns ("PX") and brings the stream back; shows the elapsed
// whole seconds.
void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers,
                       const stream_calls& calls = alsa_stream_calls);
