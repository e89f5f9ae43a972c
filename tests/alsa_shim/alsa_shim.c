/* A test stand-in loaded with LD_PRELOAD in front of alsa-lib. It passes the
 * stream calls that quavelor makes on to the real library, and on request
 * logs them, makes one of them fail, or changes the period or buffer size a
 * stream asks for (so the real device grants that size). It is steered by
 * environment variables, read on every call:
 *
 *   QUAVELOR_SHIM_LOG     file to append one line per call to
 *   QUAVELOR_SHIM_FAIL    "<call> <direction>": the call that returns
 *                         -QUAVELOR_SHIM_ERRNO (default EINVAL) instead of
 *                         reaching the library; <call> is access, format,
 *                         channels or install, <direction> playback or capture
 *   QUAVELOR_SHIM_ERRNO   the errno number of that failure
 *   QUAVELOR_SHIM_REFUSE_ACCESS "<access>": setting this access (its name, as
 *                         RW_NONINTERLEAVED) fails with -EINVAL on both streams,
 *                         as on a device that does not offer it
 *   QUAVELOR_SHIM_PERIOD  "<direction> <frames>": the period size that stream
 *                         asks the library for, whatever the program asked
 *   QUAVELOR_SHIM_BUFFER  "<direction> <frames>": the same for the buffer size
 *   QUAVELOR_SHIM_OVERRUN "<n>": the program's capture read number n (from 0)
 *                         returns -EPIPE without reading, as after an overrun
 *   QUAVELOR_SHIM_PAUSE_MS "<ms>": the first prepare after that fault takes
 *                         this long, as a program held up would
 *   QUAVELOR_SHIM_DRAIN_MS "<ms>": once the program drains playback, the
 *                         stream reads as draining for this long
 *   QUAVELOR_SHIM_READ_MS "<n> <ms>": the program's capture read number n
 *                         (from 0) waits this long first, as when the
 *                         machine holds the program up
 *   QUAVELOR_SHIM_START_MS "<ms>": the program's first start of capture waits
 *                         this long, as when a sound server starts playback
 *                         some quanta before capture
 *
 * Drops are logged too; transfers are not.
 *
 * alsa-lib calls its own public functions internally (on slave streams and
 * their parameter containers); only calls made from outside the library, that
 * is not nested inside another call seen here, are logged and steered. */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The library's symbol versions: the functions whose signatures changed in
 * its history have a second, current version, which the program is linked
 * against; the others have only the original one. */
#define CURRENT_API "ALSA_0.9.0rc4"
#define ORIGINAL_API "ALSA_0.9"

/* How deep the current thread is in calls seen here: 1 for a call from the
 * program, more for the library calling itself. */
static __thread int call_depth;

/* Which stream each parameter container was filled for, so that the getters,
 * which see only the container, can name their stream. */
#define tracked_container_count 8
static struct {
  const snd_pcm_hw_params_t* params;
  const char* direction;
} containers[tracked_container_count];

static void* next_symbol(const char* name, const char* version) {
  void* symbol = dlvsym(RTLD_NEXT, name, version);
  if (symbol == NULL) abort();
  return symbol;
}

/* Defines next_<name>(), which returns the library's own <name>. The address
 * is copied rather than cast: ISO C has no cast from object to function
 * pointers. */
#define DEFINE_NEXT(name, version)                 \
  static __typeof__(&name) next_##name(void) {     \
    void* symbol = next_symbol(#name, version);    \
    __typeof__(&name) function;                    \
    memcpy(&function, &symbol, sizeof function);   \
    return function;                               \
  }

DEFINE_NEXT(snd_pcm_open, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_any, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_set_access, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_set_format, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_set_channels, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_set_rate_near, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params_set_period_size_near, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params_set_buffer_size_near, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_hw_params_get_period_size, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params_get_buffer_size, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params_get_channels, CURRENT_API)
DEFINE_NEXT(snd_pcm_hw_params_get_rate, CURRENT_API)
DEFINE_NEXT(snd_pcm_prepare, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_start, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_drain, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_close, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_drop, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_state, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_readn, ORIGINAL_API)
DEFINE_NEXT(snd_pcm_readi, ORIGINAL_API)

static const char* direction_of(snd_pcm_t* pcm) {
  return snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture";
}

static void remember_container(const snd_pcm_hw_params_t* params, const char* direction) {
  for (int k = 0; k < tracked_container_count; ++k) {
    if (containers[k].params == NULL || containers[k].params == params) {
      containers[k].params = params;
      containers[k].direction = direction;
      return;
    }
  }
}

static const char* container_direction(const snd_pcm_hw_params_t* params) {
  for (int k = 0; k < tracked_container_count; ++k) {
    if (containers[k].params == params) return containers[k].direction;
  }
  return "unknown";
}

static int called_from_program(void) { return call_depth == 1; }

static void log_line(const char* format, ...) {
  const char* path = getenv("QUAVELOR_SHIM_LOG");
  if (path == NULL || !called_from_program()) return;
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line - 1, format, arguments);
  va_end(arguments);
  strcat(line, "\n");
  const int file = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (file < 0) return;
  /* A lost line needs no handling here: it fails the test's comparison. */
  const ssize_t written = write(file, line, strlen(line));
  (void)written;
  close(file);
}

/* The injected error for `call` on `direction`, or 0 when none is asked for. */
static int injected_error(const char* call, const char* direction) {
  const char* fail = getenv("QUAVELOR_SHIM_FAIL");
  if (fail == NULL || !called_from_program()) return 0;
  char wanted[64];
  snprintf(wanted, sizeof wanted, "%s %s", call, direction);
  if (strcmp(fail, wanted) != 0) return 0;
  const char* number = getenv("QUAVELOR_SHIM_ERRNO");
  return -(number != NULL ? atoi(number) : EINVAL);
}

/* Replaces *frames with the size QUAVELOR_SHIM_<variable> names for
 * `direction`, if any. */
static void override_frames(const char* variable, const char* direction,
                            snd_pcm_uframes_t* frames) {
  const char* value = getenv(variable);
  if (value == NULL || !called_from_program()) return;
  const size_t length = strlen(direction);
  if (strncmp(value, direction, length) != 0 || value[length] != ' ') return;
  *frames = strtoul(value + length + 1, NULL, 10);
}

int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
  ++call_depth;
  log_line("open %s %s %d", stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture", name,
           mode);
  const int result = next_snd_pcm_open()(pcm, name, stream, mode);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  ++call_depth;
  if (called_from_program()) remember_container(params, direction_of(pcm));
  log_line("any %s", direction_of(pcm));
  const int result = next_snd_pcm_hw_params_any()(pcm, params);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                 snd_pcm_access_t access) {
  ++call_depth;
  log_line("access %s %s", direction_of(pcm), snd_pcm_access_name(access));
  int result = injected_error("access", direction_of(pcm));
  const char* refused = getenv("QUAVELOR_SHIM_REFUSE_ACCESS");
  if (refused != NULL && called_from_program() && strcmp(refused, snd_pcm_access_name(access)) == 0) {
    result = -EINVAL;
  }
  if (result == 0) result = next_snd_pcm_hw_params_set_access()(pcm, params, access);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                 snd_pcm_format_t format) {
  ++call_depth;
  log_line("format %s %s", direction_of(pcm), snd_pcm_format_name(format));
  int result = injected_error("format", direction_of(pcm));
  if (result == 0) result = next_snd_pcm_hw_params_set_format()(pcm, params, format);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                   unsigned int channels) {
  ++call_depth;
  log_line("channels %s %u", direction_of(pcm), channels);
  int result = injected_error("channels", direction_of(pcm));
  if (result == 0) {
    result = next_snd_pcm_hw_params_set_channels()(pcm, params, channels);
  }
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_rate_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                    unsigned int* rate, int* direction) {
  ++call_depth;
  log_line("rate %s %u%s", direction_of(pcm), *rate, direction == NULL ? "" : " with direction");
  const int result =
      next_snd_pcm_hw_params_set_rate_near()(pcm, params, rate, direction);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                           snd_pcm_uframes_t* frames, int* direction) {
  ++call_depth;
  log_line("period %s %lu%s", direction_of(pcm), *frames,
           direction == NULL ? "" : " with direction");
  override_frames("QUAVELOR_SHIM_PERIOD", direction_of(pcm), frames);
  const int result =
      next_snd_pcm_hw_params_set_period_size_near()(pcm, params, frames, direction);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_set_buffer_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                           snd_pcm_uframes_t* frames) {
  ++call_depth;
  log_line("buffer %s %lu", direction_of(pcm), *frames);
  override_frames("QUAVELOR_SHIM_BUFFER", direction_of(pcm), frames);
  const int result = next_snd_pcm_hw_params_set_buffer_size_near()(pcm, params, frames);
  --call_depth;
  return result;
}

int snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  ++call_depth;
  log_line("install %s", direction_of(pcm));
  int result = injected_error("install", direction_of(pcm));
  if (result == 0) result = next_snd_pcm_hw_params()(pcm, params);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t* params,
                                      snd_pcm_uframes_t* frames, int* direction) {
  ++call_depth;
  log_line("get period %s%s", container_direction(params),
           direction == NULL ? "" : " with direction");
  const int result =
      next_snd_pcm_hw_params_get_period_size()(params, frames, direction);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t* params,
                                      snd_pcm_uframes_t* frames) {
  ++call_depth;
  log_line("get buffer %s", container_direction(params));
  const int result = next_snd_pcm_hw_params_get_buffer_size()(params, frames);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_get_channels(const snd_pcm_hw_params_t* params, unsigned int* channels) {
  ++call_depth;
  log_line("get channels %s", container_direction(params));
  const int result = next_snd_pcm_hw_params_get_channels()(params, channels);
  --call_depth;
  return result;
}

int snd_pcm_hw_params_get_rate(const snd_pcm_hw_params_t* params, unsigned int* rate,
                               int* direction) {
  ++call_depth;
  log_line("get rate %s%s", container_direction(params),
           direction == NULL ? "" : " with direction");
  const int result = next_snd_pcm_hw_params_get_rate()(params, rate, direction);
  --call_depth;
  return result;
}

/* Capture reads made by the program so far, and whether a fault was injected
 * and its pause not yet taken. */
static long reads_seen;
static int pause_due;

/* Whether read number `count` is the one `variable` names. */
static int fault_due(const char* variable, long count) {
  const char* value = getenv(variable);
  if (value == NULL || !called_from_program() || atol(value) != count) return 0;
  pause_due = 1;
  return 1;
}

/* Holds read number `count` up for QUAVELOR_SHIM_READ_MS's time, if it names it. */
static void hold_read(long count) {
  const char* value = getenv("QUAVELOR_SHIM_READ_MS");
  long number = -1, ms = 0;
  if (value == NULL || !called_from_program() || sscanf(value, "%ld %ld", &number, &ms) != 2) return;
  if (number == count) usleep((useconds_t)ms * 1000);
}

snd_pcm_sframes_t snd_pcm_readn(snd_pcm_t* pcm, void** areas, snd_pcm_uframes_t frames) {
  ++call_depth;
  hold_read(reads_seen);
  const snd_pcm_sframes_t result = fault_due("QUAVELOR_SHIM_OVERRUN", reads_seen++)
                                       ? -EPIPE
                                       : next_snd_pcm_readn()(pcm, areas, frames);
  --call_depth;
  return result;
}

snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t frames) {
  ++call_depth;
  hold_read(reads_seen);
  const snd_pcm_sframes_t result = fault_due("QUAVELOR_SHIM_OVERRUN", reads_seen++)
                                       ? -EPIPE
                                       : next_snd_pcm_readi()(pcm, buffer, frames);
  --call_depth;
  return result;
}

int snd_pcm_prepare(snd_pcm_t* pcm) {
  ++call_depth;
  log_line("prepare %s", direction_of(pcm));
  const char* pause = getenv("QUAVELOR_SHIM_PAUSE_MS");
  if (pause != NULL && pause_due && called_from_program()) {
    pause_due = 0;
    usleep((useconds_t)atol(pause) * 1000);
  }
  const int result = next_snd_pcm_prepare()(pcm);
  --call_depth;
  return result;
}

static int capture_started;

int snd_pcm_start(snd_pcm_t* pcm) {
  ++call_depth;
  const char* wait = getenv("QUAVELOR_SHIM_START_MS");
  if (wait != NULL && called_from_program() && snd_pcm_stream(pcm) == SND_PCM_STREAM_CAPTURE &&
      !capture_started++) {
    usleep((useconds_t)atol(wait) * 1000);
  }
  const int result = next_snd_pcm_start()(pcm);
  --call_depth;
  return result;
}

/* When the program drained playback, in CLOCK_MONOTONIC milliseconds. */
static long drained_at = -1;

static long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

snd_pcm_state_t snd_pcm_state(snd_pcm_t* pcm) {
  ++call_depth;
  snd_pcm_state_t result = next_snd_pcm_state()(pcm);
  const char* drain = getenv("QUAVELOR_SHIM_DRAIN_MS");
  if (drain != NULL && called_from_program() && drained_at >= 0 &&
      snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK && now_ms() - drained_at < atol(drain)) {
    result = SND_PCM_STATE_DRAINING;
  }
  --call_depth;
  return result;
}

int snd_pcm_drop(snd_pcm_t* pcm) {
  ++call_depth;
  log_line("drop %s", direction_of(pcm));
  if (called_from_program() && snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK) drained_at = -1;
  const int result = next_snd_pcm_drop()(pcm);
  --call_depth;
  return result;
}

int snd_pcm_drain(snd_pcm_t* pcm) {
  ++call_depth;
  log_line("drain %s", direction_of(pcm));
  if (called_from_program() && snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK) drained_at = now_ms();
  const int result = next_snd_pcm_drain()(pcm);
  --call_depth;
  return result;
}

int snd_pcm_close(snd_pcm_t* pcm) {
  ++call_depth;
  log_line("close %s", direction_of(pcm));
  const int result = next_snd_pcm_close()(pcm);
  --call_depth;
  return result;
}
