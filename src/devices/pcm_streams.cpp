#include "devices/pcm_streams.h"

#include <cstdio>

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

// Offers one stream the layout, channel count, rate, period and buffer size.
// The library may adjust the rate, period and buffer values it is offered.
// Access and channels are tested because the transfers hand the library
// exactly `channels` separate sample areas; a device that cannot take them
// would fail every transfer of the run.
void offer_configuration(snd_pcm_t* stream, snd_pcm_hw_params_t* params,
                         const direction_messages& messages, unsigned int channels,
                         unsigned int* rate, snd_pcm_uframes_t* period, snd_pcm_uframes_t* buffer) {
  snd_pcm_hw_params_any(stream, params);
  int result = snd_pcm_hw_params_set_access(stream, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  if (result < 0) fail(stderr, messages.access, snd_strerror(result));
  result = snd_pcm_hw_params_set_format(stream, params, SND_PCM_FORMAT_S24_3LE);
  if (result < 0) fail(stderr, messages.format, snd_strerror(result));
  result = snd_pcm_hw_params_set_channels(stream, params, channels);
  if (result < 0) fail(stderr, messages.channels, snd_strerror(result));
  snd_pcm_hw_params_set_rate_near(stream, params, rate, nullptr);
  snd_pcm_hw_params_set_period_size_near(stream, params, period, nullptr);
  snd_pcm_hw_params_set_buffer_size_near(stream, params, buffer);
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
  snd_pcm_uframes_t playback_buffer = requested_buffer_frames;
  offer_configuration(streams.playback, playback_params, playback_messages, channels,
                      &playback_rate, &playback_period, &playback_buffer);
  result = snd_pcm_hw_params(streams.playback, playback_params);
  if (result < 0) fail(stderr, "Problem setting playback parameters: %s\n", snd_strerror(result));

  // Capture asks for the period playback was actually given.
  snd_pcm_uframes_t granted_period = 0;
  snd_pcm_hw_params_get_period_size(playback_params, &granted_period, nullptr);

  result = snd_pcm_open(&streams.capture, name, SND_PCM_STREAM_CAPTURE, 0);
  if (result < 0) fail(stderr, "unable to open pcm record device: %s\n", snd_strerror(result));

  snd_pcm_hw_params_t* capture_params;
  snd_pcm_hw_params_alloca(&capture_params);
  unsigned int capture_rate = settings.sample_rate;
  snd_pcm_uframes_t capture_period = granted_period;
  snd_pcm_uframes_t capture_buffer = requested_buffer_frames;
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
  return streams;
}

void prepare_streams(const pcm_pair& streams) {
  snd_pcm_prepare(streams.playback);
  snd_pcm_prepare(streams.capture);
}

void close_streams(pcm_pair& streams) {
  snd_pcm_drain(streams.playback);
  snd_pcm_drain(streams.capture);
  snd_pcm_close(streams.playback);
  snd_pcm_close(streams.capture);
  streams = {};
}
