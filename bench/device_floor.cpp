// The floor for a whole run: the least work any program doing quavelor's job
// on a device must do. Opens the device for playback and capture exactly as
// quavelor does (S24_3LE, non-interleaved, the channel count and rate given,
// period 4096 and buffer 16384 frames asked for), prepares both, then reads
// blocks of 4096 frames and writes the same frames back until the frame
// count is played, and drains and closes both streams. No rings, no delay,
// no waits, no progress line.
//
//   device_floor DEVICE CHANNELS RATE FRAMES
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr snd_pcm_uframes_t block_frames = 4096;
constexpr snd_pcm_uframes_t period_frames = 4096;
constexpr snd_pcm_uframes_t buffer_frames = 16384;
constexpr size_t bytes_per_sample = 3;

[[noreturn]] void fail(const char* what, int error) {
  std::fprintf(stderr, "device_floor: %s: %s\n", what, snd_strerror(error));
  std::exit(1);
}

snd_pcm_t* open_configured(const char* device, snd_pcm_stream_t direction, unsigned int channels,
                           unsigned int rate) {
  snd_pcm_t* stream = nullptr;
  int result = snd_pcm_open(&stream, device, direction, 0);
  if (result < 0) fail("open", result);
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(stream, params);
  if ((result = snd_pcm_hw_params_set_access(stream, params, SND_PCM_ACCESS_RW_NONINTERLEAVED)) < 0)
    fail("access", result);
  if ((result = snd_pcm_hw_params_set_format(stream, params, SND_PCM_FORMAT_S24_3LE)) < 0)
    fail("format", result);
  if ((result = snd_pcm_hw_params_set_channels(stream, params, channels)) < 0)
    fail("channels", result);
  snd_pcm_uframes_t period = period_frames;
  snd_pcm_uframes_t buffer = buffer_frames;
  snd_pcm_hw_params_set_rate_near(stream, params, &rate, nullptr);
  snd_pcm_hw_params_set_period_size_near(stream, params, &period, nullptr);
  snd_pcm_hw_params_set_buffer_size_near(stream, params, &buffer);
  if ((result = snd_pcm_hw_params(stream, params)) < 0) fail("parameters", result);
  return stream;
}

}  // namespace

int main(int argument_count, char** arguments) {
  if (argument_count != 5) {
    std::fprintf(stderr, "usage: device_floor DEVICE CHANNELS RATE FRAMES\n");
    return 2;
  }
  const char* device = arguments[1];
  const auto channels = static_cast<unsigned int>(std::strtoul(arguments[2], nullptr, 10));
  const auto rate = static_cast<unsigned int>(std::strtoul(arguments[3], nullptr, 10));
  const long long frame_budget = std::strtoll(arguments[4], nullptr, 10);

  snd_pcm_t* playback = open_configured(device, SND_PCM_STREAM_PLAYBACK, channels, rate);
  snd_pcm_t* capture = open_configured(device, SND_PCM_STREAM_CAPTURE, channels, rate);

  std::vector<unsigned char> block(channels * block_frames * bytes_per_sample, 0);
  std::vector<void*> areas(channels);
  for (unsigned int c = 0; c < channels; ++c) areas[c] = block.data() + c * block_frames * bytes_per_sample;

  snd_pcm_prepare(playback);
  snd_pcm_prepare(capture);

  long long frames_written = 0;
  while (frames_written < frame_budget) {
    const snd_pcm_sframes_t got = snd_pcm_readn(capture, areas.data(), block_frames);
    if (got == -EPIPE) {
      snd_pcm_prepare(capture);
    } else if (got < 0) {
      fail("read", static_cast<int>(got));
    }
    const snd_pcm_sframes_t put = snd_pcm_writen(playback, areas.data(), block_frames);
    if (put == -EPIPE) {
      snd_pcm_prepare(playback);
    } else if (put < 0) {
      fail("write", static_cast<int>(put));
    } else {
      frames_written += put;
    }
  }

  snd_pcm_drain(playback);
  snd_pcm_drain(capture);
  snd_pcm_close(playback);
  snd_pcm_close(capture);
  return 0;
}
