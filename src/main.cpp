// quavelor: plays back what a sound input captures, after a fixed delay, for a
// fixed run time. Resources are taken in a fixed order (settings, streams,
// buffers) and given back in a fixed order at the end of a complete run; on
// any failure the process ends at once with status 1.
#include "devices/pcm_streams.h"
#include "engine/ring_buffer.h"
#include "engine/transfer_loop.h"
#include "settings/routing_plan.h"
#include "settings/run_settings.h"

int main(int argument_count, char** arguments) {
  run_settings settings = parse_command_line(argument_count, arguments);
  const routing_plan plan =
      derive_routing_plan(settings.mode, settings.input_index, settings.output_index);
  pcm_pair streams = open_streams(settings, plan);
  adopt_device_rate(settings, streams.rate);
  audio_buffers buffers =
      allocate_buffers(settings, plan, streams.playback_interleaved, streams.capture_interleaved);
  prepare_streams(streams);
  run_transfer_loop(settings, plan, streams, buffers);
  close_streams(streams);
  free_buffers(buffers);
  return 0;
}
