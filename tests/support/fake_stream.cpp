#include "support/fake_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "engine/ring_buffer.h"

namespace fake_stream {

state current;

namespace {

// Only the addresses are used: the loop never looks behind a handle.
int playback_object;
int capture_object;

constexpr uint32_t sample_mask = (1u << 24) - 1;
constexpr uint64_t inverse_of_7 = 14380471;  // 7 * 14380471 = 1 modulo 2^24
constexpr int64_t playback_buffer = 32768;
constexpr int64_t capture_buffer = 16384;

double capture_scale() { return 1.0 + current.plan.capture_ppm / 1e6; }

// The clock's frame, on playback's clock and on capture's.
double playback_clock() { return static_cast<double>(current.clock_ns) * current.rate / 1e9; }
double capture_clock() { return playback_clock() * capture_scale(); }

int64_t due(const stream_model& s, double clock) {
  return s.running ? std::max<int64_t>(0, static_cast<int64_t>(std::floor(clock)) - s.start_frame) : 0;
}

// Brings both streams up to the clock. A playback stream with nothing left
// to play, and a capture stream with no room left, fail; the streams of a
// sound server, which never fail, play on from where they ran dry and keep
// all they capture.
void update() {
  stream_model& p = current.playback;
  const int64_t played = due(p, playback_clock());
  if (p.running && !p.xrun && played > p.moved) {
    if (current.plan.reports_xruns) {
      p.xrun = true;
    } else {
      p.start_frame += played - p.moved;
    }
  }
  stream_model& c = current.capture;
  const int64_t waiting = due(c, capture_clock()) - c.moved;
  if (c.running && !c.xrun && waiting > capture_buffer && current.plan.reports_xruns) {
    c.xrun = true;
  }
}

template <typename T>
T scripted(const std::vector<T>& list, size_t& calls_so_far, T fallback) {
  const size_t index = calls_so_far++;
  return index < list.size() ? list[index] : fallback;
}

unsigned char* sample_at(void** areas, bool interleaved, int32_t c, size_t f) {
  if (interleaved) {
    return static_cast<unsigned char*>(areas[0]) +
           (f * static_cast<size_t>(current.channel_count) + static_cast<size_t>(c)) * bytes_per_sample;
  }
  return static_cast<unsigned char*>(areas[c]) + f * bytes_per_sample;
}

transfer_record record_of(bool playback, void** areas, bool interleaved, size_t frames, long result) {
  transfer_record record;
  record.playback = playback;
  record.frames = frames;
  record.result = result;
  record.interleaved = interleaved;
  record.areas = interleaved ? std::vector<void*>{areas[0]}
                             : std::vector<void*>(areas, areas + current.channel_count);
  return record;
}

// Waits for the frames asked, then delivers each channel's samples, which
// name the capture clock frame at which they were captured.
snd_pcm_sframes_t fake_read(void** areas, bool interleaved, snd_pcm_uframes_t frames) {
  const size_t call = current.read_calls;
  if (call < current.plan.stall_before_read.size()) {
    current.clock_ns += current.plan.stall_before_read[call] * 1000000;
  }
  if (call < current.plan.skip_before_read.size()) current.playback.start_frame += current.plan.skip_before_read[call];
  snd_pcm_sframes_t result = scripted(current.plan.reads, current.read_calls, modelled);
  stream_model& c = current.capture;
  update();
  if (!c.running) result = -EBADFD;
  if (c.xrun) result = -EPIPE;
  if (result >= 0) {
    result = std::min<snd_pcm_sframes_t>(result, static_cast<snd_pcm_sframes_t>(frames));
    const double last = static_cast<double>(c.start_frame + c.moved + result);
    const auto ready_ns = static_cast<int64_t>(std::ceil(last * 1e9 / (current.rate * capture_scale())));
    current.clock_ns = std::max(current.clock_ns, ready_ns);
    update();
    for (int32_t ch = 0; ch < current.channel_count; ++ch) {
      for (snd_pcm_sframes_t f = 0; f < result; ++f) {
        const auto k = static_cast<uint64_t>(c.start_frame + c.moved + f - current.plan.latency);
        const uint32_t value = captured_sample(ch, k);
        unsigned char* bytes = sample_at(areas, interleaved, ch, static_cast<size_t>(f));
        bytes[0] = static_cast<unsigned char>(value);
        bytes[1] = static_cast<unsigned char>(value >> 8);
        bytes[2] = static_cast<unsigned char>(value >> 16);
      }
    }
    c.moved += result;
  }
  current.transfers.push_back(record_of(false, areas, interleaved, frames, result));
  return result;
}

// Keeps each channel's bytes of all the frames asked, and for the watched
// channel the frame each captured sample is heard at.
snd_pcm_sframes_t fake_write(void** areas, bool interleaved, snd_pcm_uframes_t frames) {
  snd_pcm_sframes_t result = scripted(current.plan.writes, current.write_calls, modelled);
  stream_model& p = current.playback;
  update();
  if (p.xrun) result = -EPIPE;
  transfer_record record = record_of(true, areas, interleaved, frames, result);
  for (int32_t ch = 0; ch < current.channel_count; ++ch) {
    std::string bytes;
    for (size_t f = 0; f < frames; ++f) {
      bytes.append(reinterpret_cast<const char*>(sample_at(areas, interleaved, ch, f)), bytes_per_sample);
    }
    record.written.push_back(bytes);
  }
  if (result >= 0) {
    result = std::min<snd_pcm_sframes_t>(result, static_cast<snd_pcm_sframes_t>(frames));
    for (snd_pcm_sframes_t f = 0; f < result; ++f) {
      const unsigned char* b = sample_at(areas, interleaved, current.plan.watch, static_cast<size_t>(f));
      const uint32_t value = b[0] | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16;
      if (value == 0) continue;
      const uint64_t k = ((value - static_cast<uint64_t>(current.plan.source) * 1000003) * inverse_of_7) & sample_mask;
      current.heard.push_back({std::llround(static_cast<double>(k) / capture_scale()),
                               p.start_frame + p.moved + f + current.plan.latency,
                               static_cast<int64_t>(k)});
    }
    p.moved += result;
  }
  current.transfers.push_back(std::move(record));
  return result;
}

int fake_wait(snd_pcm_t*, int) { return 1; }

snd_pcm_sframes_t fake_avail_update(snd_pcm_t*) {
  const snd_pcm_sframes_t result = scripted(current.plan.avail, current.avail_calls, modelled);
  if (result != modelled) return result;
  update();
  const stream_model& p = current.playback;
  if (p.xrun) return -EPIPE;
  return playback_buffer - (p.moved - std::min(p.moved, due(p, playback_clock())));
}

snd_pcm_sframes_t fake_readn(snd_pcm_t*, void** areas, snd_pcm_uframes_t frames) {
  return fake_read(areas, false, frames);
}
snd_pcm_sframes_t fake_writen(snd_pcm_t*, void** areas, snd_pcm_uframes_t frames) {
  return fake_write(areas, false, frames);
}
snd_pcm_sframes_t fake_readi(snd_pcm_t*, void* frames_area, snd_pcm_uframes_t frames) {
  return fake_read(&frames_area, true, frames);
}
snd_pcm_sframes_t fake_writei(snd_pcm_t*, const void* frames_area, snd_pcm_uframes_t frames) {
  void* area = const_cast<void*>(frames_area);
  return fake_write(&area, true, frames);
}

stream_model& model_of(snd_pcm_t* stream) {
  return stream == playback_handle() ? current.playback : current.capture;
}

int fake_prepare(snd_pcm_t* stream) {
  model_of(stream) = stream_model{};
  return 0;
}

int fake_start(snd_pcm_t* stream) {
  stream_model& s = model_of(stream);
  if (s.running) return -EBADFD;
  s.running = true;
  if (stream == playback_handle()) {
    s.start_frame = static_cast<int64_t>(std::ceil(playback_clock()));
    if (current.plan.linked) fake_start(capture_handle());
  } else {
    const double lag = static_cast<double>(current.plan.capture_lag_ms) * current.rate / 1000;
    s.start_frame = static_cast<int64_t>(std::ceil((playback_clock() + lag) * capture_scale()));
  }
  return 0;
}

// What playback had not yet played is never heard.
int fake_drop(snd_pcm_t* stream) {
  update();
  if (stream == playback_handle()) {
    const double now = playback_clock();
    std::erase_if(current.heard, [now](const heard_frame& frame) {
      return static_cast<double>(frame.heard - current.plan.latency) > now;
    });
  }
  model_of(stream).running = false;
  if (current.plan.linked && stream == playback_handle()) current.capture.running = false;
  return 0;
}

int fake_delay(snd_pcm_t* stream, snd_pcm_sframes_t* frames) {
  update();
  const stream_model& s = model_of(stream);
  if (s.xrun) return -EPIPE;
  const bool playback = stream == playback_handle();
  const int64_t moved = playback ? due(s, playback_clock()) : due(s, capture_clock());
  *frames = (playback ? s.moved - moved : moved - s.moved) + current.plan.latency;
  return 0;
}

int64_t fake_now_ns() { return current.clock_ns; }

}  // namespace

const stream_calls calls = {
    fake_wait,    fake_avail_update, fake_readn, fake_writen, fake_readi,   fake_writei,
    fake_prepare, fake_start,        fake_drop,  fake_delay,  fake_now_ns,
};

void reset(int32_t channel_count, uint32_t rate) {
  current = state{};
  current.channel_count = channel_count;
  current.rate = rate;
  // A clock that starts a second in, so that captured frames are never 0.
  current.clock_ns = 1000000000;
}

snd_pcm_t* playback_handle() { return reinterpret_cast<snd_pcm_t*>(&playback_object); }
snd_pcm_t* capture_handle() { return reinterpret_cast<snd_pcm_t*>(&capture_object); }

uint32_t captured_sample(int32_t channel, uint64_t k) {
  return static_cast<uint32_t>((k * 7 + static_cast<uint64_t>(channel) * 1000003) & sample_mask);
}

}  // namespace fake_stream
