// The main loop of a run: each cycle reads a block of captured frames, passes
// each track's bytes through its ring and hands the delayed bytes to
// playback, until the frame budget has been played. The two streams start
// together, and on any overrun, underrun, suspend, failing stream or stall
// they start together again, with the ring's audio kept where it is due.
// The loop owns only its positions and counters: the streams belong to the
// device module, the memory to ring_buffer, the delay figures to
// delay_keeping.
#pragma once

#include "devices/pcm_streams.h"
#include "devices/stream_calls.h"
#include "engine/ring_buffer.h"
#include "settings/routing_plan.h"
#include "settings/run_settings.h"

constexpr int wait_timeout_ms = 100;

// Runs cycles until settings.frame_budget frames have been played, silence
// included (none when it is 0), then writes the closing line. Marks overruns
// ("RX") and underruns ("PX"); shows the elapsed whole seconds.
void run_transfer_loop(const run_settings& settings, const routing_plan& plan,
                       const pcm_pair& streams, audio_buffers& buffers,
                       const stream_calls& calls = alsa_stream_calls);
