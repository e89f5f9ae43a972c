#include "engine/block_transfer.h"

#include <algorithm>

size_t frames_moved(snd_pcm_sframes_t result, size_t asked) {
  return result > 0 ? std::min(static_cast<size_t>(result), asked) : 0;
}

snd_pcm_sframes_t read_block(const audio_path& path, size_t position, size_t frames) {
  const staging_block& block = path.buffers.capture;
  if (block.interleaved) {
    return path.calls.readi(path.streams.capture, channel_area(block, 0, position), frames);
  }
  fill_transfer_pointers(block, position, path.buffers.capture_pointers);
  return path.calls.readn(path.streams.capture, path.buffers.capture_pointers.data(), frames);
}

snd_pcm_sframes_t write_block(const audio_path& path, const staging_block& block, size_t position,
                              size_t frames) {
  if (block.interleaved) {
    return path.calls.writei(path.streams.playback, channel_area(block, 0, position), frames);
  }
  fill_transfer_pointers(block, position, path.buffers.playback_pointers);
  return path.calls.writen(path.streams.playback, path.buffers.playback_pointers.data(), frames);
}

size_t write_silence(const audio_path& path, size_t frames) {
  size_t written = 0;
  while (written < frames) {
    const size_t piece = std::min(frames - written, frames_per_block);
    const snd_pcm_sframes_t put = write_block(path, path.buffers.silence, 0, piece);
    written += frames_moved(put, piece);
    if (put != static_cast<snd_pcm_sframes_t>(piece)) break;
  }
  return written;
}

size_t discard_capture(const audio_path& path, size_t frames) {
  size_t discarded = 0;
  while (discarded < frames) {
    const size_t piece = std::min(frames - discarded, frames_per_block);
    const size_t got = frames_moved(read_block(path, 0, piece), piece);
    if (got == 0) break;
    discarded += got;
  }
  return discarded;
}
