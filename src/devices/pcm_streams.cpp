#include "devices/pcm_streams.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "fatal.h"

namespace {

// The messages of one direction's configuration failures.
struct direction_messages {
  const char* access;
  const char* format;
  const char* channels;
};

constexpr direction_messages playback_messages = {
    "Problem setting playback access: %s\n",
    "Problem setting playback format: %s\n",
    "Problem setting playback channels: %s\n",
};
constexpr direction_messages capture_messages = {
    "Problem setting recording access: %s\n",
    "Problem setting recording format: %s\n",
    "Problem setting recording channels: %s\n",
};

// Offers one stream the layout, channel count, rate, period and buffer size;
// returns whether it takes interleaved access. The library may adjust the
// rate, period and buffer values it is offered. Non-interleaved access comes
// first; a device that refuses it, such as a sound server's plugin, gets
// interleaved frames instead, with no conversion in between. Access and
// channels are tested because the transfers hand the library exactly
// `channels` samples a frame; a device that cannot take them would fail every
// transfer of the run.
bool offer_configuration(snd_pcm_t* stream, snd_pcm_hw_params_t* params,
                         const direction_messages& messages, unsigned int channels,
                         unsigned int* rate, snd_pcm_uframes_t* period, snd_pcm_uframes_t* buffer) {
  snd_pcm_hw_params_any(stream, params);
  bool interleaved = false;
  int result = snd_pcm_hw_params_set_access(stream, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  if (result < 0) {
    interleaved = true;
    result = snd_pcm_hw_params_set_access(stream, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  }
  if (result < 0) fail(stderr, messages.access, snd_strerror(result));
  result = snd_pcm_hw_params_set_format(stream, params, SND_PCM_FORMAT_S24_3LE);
  if (result < 0) fail(stderr, messages.format, snd_strerror(result));
  result = snd_pcm_hw_params_set_channels(stream, params, channels);
  if (result < 0) fail(stderr, messages.channels, snd_strerror(result));
  snd_pcm_hw_params_set_rate_near(stream, params, rate, nullptr);
  snd_pcm_hw_params_set_period_size_near(stream, params, period, nullptr);
  snd_pcm_hw_params_set_buffer_size_near(stream, params, buffer);
  return interleaved;
}

// Playback is given a start threshold it never reaches (the boundary), so
// that the cushion written before the start does not start it: the transfer
// loop starts both streams together.
void never_start_by_itself(snd_pcm_t* playback) {
  snd_pcm_sw_params_t* params;
  snd_pcm_sw_params_alloca(&params);
  snd_pcm_uframes_t boundary = 0;
  int result = snd_pcm_sw_params_current(playback, params);
  if (result >= 0) result = snd_pcm_sw_params_get_boundary(params, &boundary);
  if (result >= 0) result = snd_pcm_sw_params_set_start_threshold(playback, params, boundary);
  if (result >= 0) result = snd_pcm_sw_params(playback, params);
  if (result < 0) fail(stderr, "Problem setting playback software parameters: %s\n", snd_strerror(result));
}

}  // namespace

pcm_pair open_streams(const run_settings& settings, const routing_plan& plan) {
  const auto channels = static_cast<unsigned int>(plan.device_channel_count);
  const char* name = settings.device_name.c_str();
  pcm_pair streams;

  int result = snd_pcm_open(&streams.playback, name, SND_PCM_STREAM_PLAYBACK, 0);
  if (result < 0) fail(stderr, "Playback device could not be opened: %s\n", snd_strerror(result));

  snd_pcm_hw_params_t* playback_params;
  snd_pcm_hw_params_alloca(&playback_params);
  unsigned int playback_rate = settings.sample_rate;
  snd_pcm_uframes_t playback_period = requested_period_frames;
  snd_pcm_uframes_t playback_buffer = requested_playback_buffer_frames;
  streams.playback_interleaved =
      offer_configuration(streams.playback, playback_params, playback_messages, channels,
                          &playback_rate, &playback_period, &playback_buffer);
  result = snd_pcm_hw_params(streams.playback, playback_params);
  if (result < 0) fail(stderr, "Problem setting playback parameters: %s\n", snd_strerror(result));
  never_start_by_itself(streams.playback);

  // Capture asks for the period playback was actually given.
  snd_pcm_uframes_t granted_period = 0;
  snd_pcm_hw_params_get_period_size(playback_params, &granted_period, nullptr);

  result = snd_pcm_open(&streams.capture, name, SND_PCM_STREAM_CAPTURE, 0);
  if (result < 0) fail(stderr, "unable to open pcm record device: %s\n", snd_strerror(result));

  snd_pcm_hw_params_t* capture_params;
  snd_pcm_hw_params_alloca(&capture_params);
  unsigned int capture_rate = settings.sample_rate;
  snd_pcm_uframes_t capture_period = granted_period;
  snd_pcm_uframes_t capture_buffer = requested_capture_buffer_frames;
  streams.capture_interleaved =
      offer_configuration(streams.capture, capture_params, capture_messages, channels,
                          &capture_rate, &capture_period, &capture_buffer);
  const int installed = snd_pcm_hw_params(streams.capture, capture_params);

  // What the driver returned, for the report below. Getters that fail leave 0.
  snd_pcm_uframes_t capture_buffer_size = 0, playback_buffer_size = 0;
  snd_pcm_uframes_t capture_period_size = 0, playback_period_size = 0;
  unsigned int playback_channels = 0, capture_channels = 0;
  unsigned int playback_rate_granted = 0, capture_rate_granted = 0;
  snd_pcm_hw_params_get_buffer_size(capture_params, &capture_buffer_size);
  snd_pcm_hw_params_get_buffer_size(playback_params, &playback_buffer_size);
  snd_pcm_hw_params_get_period_size(capture_params, &capture_period_size, nullptr);
  snd_pcm_hw_params_get_period_size(playback_params, &playback_period_size, nullptr);
  snd_pcm_hw_params_get_channels(playback_params, &playback_channels);
  snd_pcm_hw_params_get_channels(capture_params, &capture_channels);
  snd_pcm_hw_params_get_rate(playback_params, &playback_rate_granted, nullptr);
  snd_pcm_hw_params_get_rate(capture_params, &capture_rate_granted, nullptr);

  if (installed < 0) {
    std::printf("Could not set record hardware parameters: %s\n", snd_strerror(installed));
    std::puts("Returned Driver Parameters:");
    std::puts("\tBuf 1\tBuf 2\tRate\tChannels");
    std::printf("Play\t%i\t%i\t%i\t%i\n", static_cast<int>(playback_period_size),
                static_cast<int>(playback_buffer_size), static_cast<int>(playback_rate_granted),
                static_cast<int>(playback_channels));
    std::printf("Record\t%i\t%i\t%i\t%i\n", static_cast<int>(capture_period_size),
                static_cast<int>(capture_buffer_size), static_cast<int>(capture_rate_granted),
                static_cast<int>(capture_channels));
    std::puts("-------------------------\n");
    fail_silently();
  }
  // Frames read and frames played are one and the same count only when both
  // streams run at one rate. A rate that could not be read back (0) is not
  // taken for another.
  if (playback_rate_granted != 0 && capture_rate_granted != 0 &&
      playback_rate_granted != capture_rate_granted) {
    fail(stderr,
         "Capture runs at %u and playback at %u frames per second: "
         "use plughw: or plug: in front of the device name\n",
         capture_rate_granted, playback_rate_granted);
  }
  streams.rate = playback_rate_granted;
  streams.linked = snd_pcm_link(streams.capture, streams.playback) == 0;
  return streams;
}

void prepare_streams(const pcm_pair& streams) {
  snd_pcm_prepare(streams.playback);
  snd_pcm_prepare(streams.capture);
}

namespace {

using drain_clock = std::chrono::steady_clock;

// A playback drain may take as long as the stream's buffer needs to play, plus
// this much for the device to notice the end and for this process to be
// scheduled again.
constexpr std::chrono::milliseconds drain_margin{250};

// How often a drain in progress is looked at.
constexpr std::chrono::milliseconds drain_check_interval{5};

// The longest a playback drain can take: the time the stream's whole buffer
// takes to play, since a drain ends once what is queued in that buffer has
// been played. A stream whose buffer time cannot be read gets none.
drain_clock::duration buffer_duration(snd_pcm_t* stream) {
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  unsigned int buffer_microseconds = 0;
  if (snd_pcm_hw_params_current(stream, params) < 0 ||
      snd_pcm_hw_params_get_buffer_time(params, &buffer_microseconds, nullptr) < 0) {
    return drain_clock::duration::zero();
  }
  return std::chrono::microseconds{buffer_microseconds};
}

// Drains one stream without blocking, waits at most `allowance` for the drain
// to finish, and stops the stream with snd_pcm_drop if it is still draining
// then. A device that drains normally ends well inside the allowance, so no
// frame it was given is cut. The bound matters for devices whose drain never
// ends by itself: a sound-server capture stream in alsa-lib's I/O plugin layer
// is drained by waiting for its buffer to fill, but the server plugin stops
// reporting the capture position once the stream is draining, so a blocking
// drain would wait forever.
void drain_within(snd_pcm_t* stream, drain_clock::duration allowance) {
  const drain_clock::time_point deadline = drain_clock::now() + allowance;
  snd_pcm_nonblock(stream, 1);
  snd_pcm_drain(stream);
  for (;;) {
    if (snd_pcm_state(stream) != SND_PCM_STATE_DRAINING) return;
    if (drain_clock::now() >= deadline) break;
    std::this_thread::sleep_for(drain_check_interval);
    // Plugins without a clock of their own move a draining stream on only
    // when its position is updated. A stream given no time is never updated:
    // updating a draining sound-server capture stream spins for a third of a
    // second.
    snd_pcm_avail_update(stream);
  }
  snd_pcm_drop(stream);
}

}  // namespace

// Playback is given the time its buffer needs to play. Capture is not
// waited for: draining a capture stream only stops it, keeping the frames it
// captured for reading, and nothing reads them after the run.
void close_streams(pcm_pair& streams) {
  // Linked, a playback drain would stop capture with it.
  if (streams.linked) snd_pcm_unlink(streams.capture);
  drain_within(streams.playback, buffer_duration(streams.playback) + drain_margin);
  drain_within(streams.capture, drain_clock::duration::zero());
  snd_pcm_close(streams.playback);
  snd_pcm_close(streams.capture);
  streams = {};
}
