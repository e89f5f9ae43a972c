#include "support/fake_stream.h"

#include <algorithm>

#include "engine/ring_buffer.h"
#include "engine/transfer_loop.h"

namespace fake_stream {

state current;

namespace {

// Only the addresses are used: the loop never looks behind a handle.
int playback_object;
int capture_object;

constexpr uint32_t sample_mask = (1u << 24) - 1;

template <typename T>
T scripted(const std::vector<T>& list, size_t& calls_so_far, T fallback) {
  const size_t index = calls_so_far++;
  return index < list.size() ? list[index] : fallback;
}

call_record new_record(call_kind kind, snd_pcm_t* stream) {
  call_record record;
  record.kind = kind;
  record.stream = stream;
  return record;
}

std::vector<void*> copy_areas(void** areas) {
  return std::vector<void*>(areas, areas + current.channel_count);
}

int fake_wait(snd_pcm_t* stream, int timeout_ms) {
  call_record record = new_record(call_kind::wait, stream);
  record.timeout_ms = timeout_ms;
  current.calls.push_back(record);
  return 1;
}

snd_pcm_sframes_t fake_avail_update(snd_pcm_t* stream) {
  const snd_pcm_sframes_t result =
      scripted(current.plan.avail, current.avail_calls, current.plan.default_avail);
  call_record record = new_record(call_kind::avail_update, stream);
  record.result = result;
  current.calls.push_back(record);
  return result;
}

// Where sample f of channel c lies for a transfer: in channel c's area, or
// interleaved after the one pointer.
unsigned char* sample_at(void** areas, bool interleaved, int32_t c, snd_pcm_uframes_t f) {
  if (interleaved) {
    return static_cast<unsigned char*>(areas[0]) +
           (f * static_cast<snd_pcm_uframes_t>(current.channel_count) + static_cast<snd_pcm_uframes_t>(c)) *
               bytes_per_sample;
  }
  return static_cast<unsigned char*>(areas[c]) + f * bytes_per_sample;
}

// Delivers the next samples of every channel's counter pattern, for exactly
// the frames it reports.
snd_pcm_sframes_t fake_read(snd_pcm_t* stream, void** areas, bool interleaved,
                            snd_pcm_uframes_t frames) {
  snd_pcm_sframes_t result =
      scripted(current.plan.reads, current.read_calls, current.plan.default_read);
  if (result == whole_request) result = static_cast<snd_pcm_sframes_t>(frames);
  result = std::min(result, static_cast<snd_pcm_sframes_t>(frames));
  for (int32_t c = 0; c < current.channel_count && result > 0; ++c) {
    for (snd_pcm_sframes_t f = 0; f < result; ++f) {
      const uint32_t value = captured_sample(c, current.samples_captured[c]++);
      unsigned char* bytes = sample_at(areas, interleaved, c, static_cast<snd_pcm_uframes_t>(f));
      bytes[0] = static_cast<unsigned char>(value);
      bytes[1] = static_cast<unsigned char>(value >> 8);
      bytes[2] = static_cast<unsigned char>(value >> 16);
    }
  }
  call_record record = new_record(call_kind::readn, stream);
  record.frames = frames;
  record.result = result;
  record.interleaved = interleaved;
  record.areas = interleaved ? std::vector<void*>{areas[0]} : copy_areas(areas);
  current.calls.push_back(record);
  return result;
}

// Keeps each channel's bytes of all the frames asked, whatever it reports.
snd_pcm_sframes_t fake_write(snd_pcm_t* stream, void** areas, bool interleaved,
                             snd_pcm_uframes_t frames) {
  snd_pcm_sframes_t result =
      scripted(current.plan.writes, current.write_calls, current.plan.default_write);
  if (result == whole_request) result = static_cast<snd_pcm_sframes_t>(frames);
  result = std::min(result, static_cast<snd_pcm_sframes_t>(frames));
  call_record record = new_record(call_kind::writen, stream);
  record.frames = frames;
  record.result = result;
  record.interleaved = interleaved;
  record.areas = interleaved ? std::vector<void*>{areas[0]} : copy_areas(areas);
  for (int32_t c = 0; c < current.channel_count; ++c) {
    std::string bytes;
    for (snd_pcm_uframes_t f = 0; f < frames; ++f) {
      bytes.append(reinterpret_cast<const char*>(sample_at(areas, interleaved, c, f)), bytes_per_sample);
    }
    record.written.push_back(bytes);
  }
  current.calls.push_back(record);
  return result;
}

snd_pcm_sframes_t fake_readn(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames) {
  return fake_read(stream, areas, false, frames);
}

snd_pcm_sframes_t fake_writen(snd_pcm_t* stream, void** areas, snd_pcm_uframes_t frames) {
  return fake_write(stream, areas, false, frames);
}

snd_pcm_sframes_t fake_readi(snd_pcm_t* stream, void* frames_area, snd_pcm_uframes_t frames) {
  return fake_read(stream, &frames_area, true, frames);
}

snd_pcm_sframes_t fake_writei(snd_pcm_t* stream, const void* frames_area, snd_pcm_uframes_t frames) {
  void* area = const_cast<void*>(frames_area);
  return fake_write(stream, &area, true, frames);
}

int fake_prepare(snd_pcm_t* stream) {
  current.calls.push_back(new_record(call_kind::prepare, stream));
  return 0;
}

int fake_resume(snd_pcm_t* stream) {
  const int result = scripted(current.plan.resumes, current.resume_calls, current.plan.default_resume);
  call_record record = new_record(call_kind::resume, stream);
  record.result = result;
  current.calls.push_back(record);
  return result;
}

int fake_start(snd_pcm_t* stream) {
  current.calls.push_back(new_record(call_kind::start, stream));
  return 0;
}

int fake_drop(snd_pcm_t* stream) {
  current.calls.push_back(new_record(call_kind::drop, stream));
  return 0;
}

int fake_delay(snd_pcm_t* stream, snd_pcm_sframes_t* frames) {
  const bool playback = stream == playback_handle();
  *frames = playback ? scripted(current.plan.playback_delays, current.playback_delay_calls,
                              static_cast<long>(cushion_frames) - 1)
                     : scripted(current.plan.capture_delays, current.capture_delay_calls, 1L);
  call_record record = new_record(call_kind::delay, stream);
  record.delay = *frames;
  current.calls.push_back(record);
  return 0;
}

}  // namespace

const stream_calls calls = {
    fake_wait,   fake_avail_update, fake_readn, fake_writen, fake_readi, fake_writei,
    fake_prepare, fake_resume,      fake_start, fake_drop,   fake_delay,
};

void reset(int32_t channel_count) {
  current = state{};
  current.channel_count = channel_count;
  current.samples_captured.assign(static_cast<size_t>(channel_count), 0);
}

void set_result(std::vector<snd_pcm_sframes_t>& list, size_t index, snd_pcm_sframes_t result,
                snd_pcm_sframes_t filler) {
  if (list.size() <= index) list.resize(index + 1, filler);
  list[index] = result;
}

snd_pcm_t* playback_handle() { return reinterpret_cast<snd_pcm_t*>(&playback_object); }
snd_pcm_t* capture_handle() { return reinterpret_cast<snd_pcm_t*>(&capture_object); }

uint32_t captured_sample(int32_t channel, uint64_t k) {
  return static_cast<uint32_t>((k * 7 + static_cast<uint64_t>(channel) * 1000003) & sample_mask);
}

std::vector<const call_record*> records_of(call_kind kind) {
  std::vector<const call_record*> records;
  for (const call_record& record : current.calls) {
    if (record.kind == kind) records.push_back(&record);
  }
  return records;
}

}  // namespace fake_stream
