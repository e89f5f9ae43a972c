#include "engine/stream_start.h"

#include <algorithm>

#include "fatal.h"

size_t cushion_for(size_t delay_frames) {
  return delay_frames >= longest_cushion_frames ? longest_cushion_frames : cushion_frames;
}

size_t start_streams(const audio_path& path, size_t cushion) {
  const size_t written = write_silence(path, cushion);
  path.calls.start(path.streams.playback);
  if (!path.streams.linked) path.calls.start(path.streams.capture);
  return written;
}

size_t restart_streams(const audio_path& path, size_t cushion) {
  path.calls.drop(path.streams.playback);
  path.calls.drop(path.streams.capture);
  path.calls.prepare(path.streams.playback);
  path.calls.prepare(path.streams.capture);
  return start_streams(path, cushion);
}

stream_run run_from_now(const audio_path& path, int64_t written) { return {path.calls.now_ns(), written, 0}; }

int64_t frames_behind(const audio_path& path, const stream_run& run, int64_t written, size_t unwritten,
                      uint32_t rate) {
  const int64_t ran = (path.calls.now_ns() - run.start_ns) * rate / 1000000000;
  const int64_t behind = ran - (written - run.written_at_start + static_cast<int64_t>(unwritten));
  snd_pcm_sframes_t queued = 0;
  if (path.calls.delay(path.streams.playback, &queued) < 0) return behind;
  return std::max<int64_t>(behind, -int64_t{queued});
}

failure_watch watch_for(const char* message, uint32_t rate) {
  const auto cycles = [rate](uint32_t seconds) {
    return std::max<uint64_t>(1, uint64_t{seconds} * rate / frames_per_block);
  };
  return {message, 0, cycles(restart_stream_seconds), cycles(failing_stream_seconds)};
}

bool failed_again(failure_watch& watch, snd_pcm_sframes_t error) {
  if (++watch.failed_cycles >= watch.limit) {
    fail(stderr, watch.message, snd_strerror(static_cast<int>(error)));
  }
  return watch.failed_cycles % watch.restart_cycles == 0;
}
