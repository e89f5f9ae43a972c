/* A simulated sound card for the real-time tests: an alsa-lib external PCM
 * plugin (type simulated_card) whose streams move as a card's driver moves
 * them, and which logs how every played frame was heard.
 *
 * The card's hardware position moves one period at a time, on a timer, on
 * CLOCK_MONOTONIC; the capture and playback streams of one device name in
 * one process share the card's clock and its log. An underrun or overrun is
 * raised at the period step at which the room (playback) or the frames
 * waiting (capture) reach the stop threshold, as the kernel raises one, and
 * the program then sees -EPIPE. snd_pcm_delay reports what is queued at the
 * converter's position, which moves frame by frame, plus the card's fixed
 * latency (its FIFO). Samples are S24_3LE, interleaved or
 * not, on any number of channels.
 *
 * Every captured sample carries the frame's place on the capture clock (a
 * counter modulo 2^21 - 1, plus one so that silence is 0) and, in its top
 * bits, its capture channel modulo 8. As playback plays, the watched output
 * channel is read back and the log gets a line for every change of the
 * delay heard, every stretch of silence between sounds, every frame played
 * twice or out of order, every underrun and overrun, and a summary at close.
 *
 * Options in the device definition, all optional:
 *   rates [ 48000 ]  the only rates the card runs at (else 8000 to 192000)
 *   capture_rate 44100  the only rate its capture side runs at
 *   interleaved 1    interleaved access only, as many cards offer
 *   ppm 200          the capture clock's offset from playback's
 *   fifo 32          frames between the hardware position and the converter,
 *                    on each stream
 *   stall_at 20000, stall_for 500   one stall of the card's interrupts (ms
 *                    from the first open); stall_every 10000 repeats it
 *   watch 0, source 0   the output channel read back, and the capture
 *                    channel it should carry
 *   log "/path"      the log; else $QUAVELOR_CARD_LOG; else none */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#define COUNTER_MODULUS 2097151 /* 2^21 - 1 */
#define COUNTER_MASK 0x1fffff
#define CHANNEL_SHIFT 21
#define MAX_RATES 8

struct card {
  struct card *next;
  char *name;
  int users;
  int64_t epoch_ns; /* frame 0 of both clocks */
  unsigned int rates[MAX_RATES], capture_rate;
  int rate_count, interleaved_only;
  double capture_scale; /* capture clock frames per playback clock frame */
  long fifo;
  int64_t stall_at_ns, stall_ns, stall_every_ns;
  long watch, source;
  FILE *log;
  /* What playback has played so far, of the watched channel. */
  int sounded, delay_known, in_repeat;
  int64_t last_counter, delay, delay_min, delay_max;
  int64_t silence_start, silence_length;
  int64_t played, sound, silence, repeats, wrong_channel, underruns, overruns;
};

struct stream {
  snd_pcm_ioplug_t io;
  struct card *card;
  int timer;
  double scale; /* this stream's clock against the nominal rate */
  snd_pcm_uframes_t stop_threshold, avail_min, boundary;
  int running, xrun;
  int64_t start_frame; /* where the last start fell on this stream's clock */
  int64_t steps;       /* period steps since then */
  int64_t appl;        /* frames the program moved since the prepare */
  uint32_t *queued;    /* playback: the watched channel's samples */
};

static struct card *cards;

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* The time the card's interrupts have reached: during a stall, its start. */
static int64_t card_time(const struct card *card, int64_t t) {
  int64_t since = t - card->epoch_ns, start = -1;
  if (card->stall_every_ns > 0 && since >= card->stall_every_ns) {
    start = since / card->stall_every_ns * card->stall_every_ns;
  } else if (card->stall_at_ns > 0) {
    start = card->stall_at_ns;
  }
  if (start >= 0 && since >= start && since < start + card->stall_ns) return card->epoch_ns + start;
  return t;
}

static double frames_at(const struct stream *s, int64_t t) {
  return (double)(t - s->card->epoch_ns) * s->io.rate * s->scale / 1e9;
}

static int64_t time_of_frame(const struct stream *s, int64_t frame) {
  return s->card->epoch_ns + (int64_t)ceil((double)frame * 1e9 / (s->io.rate * s->scale));
}

static int is_playback(const struct stream *s) { return s->io.stream == SND_PCM_STREAM_PLAYBACK; }

static void put_sample(const snd_pcm_channel_area_t *area, snd_pcm_uframes_t frame, uint32_t v) {
  unsigned char *p = (unsigned char *)area->addr + (area->first + frame * area->step) / 8;
  p[0] = v & 0xff;
  p[1] = (v >> 8) & 0xff;
  p[2] = (v >> 16) & 0xff;
}

static uint32_t get_sample(const snd_pcm_channel_area_t *area, snd_pcm_uframes_t frame) {
  const unsigned char *p = (const unsigned char *)area->addr + (area->first + frame * area->step) / 8;
  return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16;
}

static void note(struct card *card, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void note(struct card *card, const char *format, ...) {
  if (!card->log) return;
  va_list arguments;
  va_start(arguments, format);
  vfprintf(card->log, format, arguments);
  va_end(arguments);
  fflush(card->log);
}

/* One frame of the watched channel comes out, `at` playback clock frames
 * after the card's epoch: the counter it carries tells when it was
 * captured. */
static void hear(struct card *card, int64_t at, uint32_t v) {
  ++card->played;
  if (v == 0) {
    if (card->sounded && card->silence_length++ == 0) card->silence_start = at;
    return;
  }
  if (card->silence_length > 0) {
    note(card, "silence at=%lld frames=%lld\n", (long long)card->silence_start,
         (long long)card->silence_length);
    card->silence += card->silence_length;
    card->silence_length = 0;
  }
  ++card->sound;
  if ((long)(v >> CHANNEL_SHIFT) != (card->source & 7)) ++card->wrong_channel;
  /* The latest capture frame with this counter that was captured by now. */
  const int64_t residue = (int64_t)(v & COUNTER_MASK) - 1;
  const int64_t now = (int64_t)floor((double)at * card->capture_scale);
  const int64_t counter = residue + COUNTER_MODULUS * (int64_t)floor((double)(now - residue) / COUNTER_MODULUS);
  if (card->sounded && counter <= card->last_counter) {
    ++card->repeats;
    if (!card->in_repeat) {
      note(card, "repeat at=%lld counter=%lld after=%lld\n", (long long)at, (long long)counter,
           (long long)card->last_counter);
    }
    card->in_repeat = 1;
  } else {
    card->in_repeat = 0;
  }
  card->sounded = 1;
  card->last_counter = counter;
  const int64_t delay = llround((double)at - (double)counter / card->capture_scale);
  if (!card->delay_known || delay != card->delay) {
    note(card, "delay at=%lld frames=%lld\n", (long long)at, (long long)delay);
    if (!card->delay_known || delay < card->delay_min) card->delay_min = delay;
    if (!card->delay_known || delay > card->delay_max) card->delay_max = delay;
    card->delay = delay;
    card->delay_known = 1;
  }
}

static void arm(struct stream *s, int64_t when) {
  struct itimerspec due = {{0, 0}, {when / 1000000000, when % 1000000000}};
  if (when <= 0) due.it_value.tv_nsec = 1; /* now: 0 would disarm it */
  timerfd_settime(s->timer, TFD_TIMER_ABSTIME, &due, NULL);
}

static void disarm(struct stream *s) {
  struct itimerspec never = {{0, 0}, {0, 0}};
  timerfd_settime(s->timer, 0, &never, NULL);
}

/* Takes the period steps due by now, one at a time: each plays a period
 * (playback) or captures one (capture), and raises an xrun when the room or
 * the frames waiting then reach the stop threshold. */
static void advance(struct stream *s) {
  if (!s->running || s->xrun) return;
  const int64_t period = (int64_t)s->io.period_size;
  const int64_t buffer = (int64_t)s->io.buffer_size;
  const int64_t due = (int64_t)floor((frames_at(s, card_time(s->card, now_ns())) - s->start_frame) / period);
  const int draining = s->io.state == SND_PCM_STATE_DRAINING;
  while (s->steps < due) {
    const int64_t from = s->steps * period, to = from + period;
    if (is_playback(s)) {
      for (int64_t q = from; q < to; ++q) {
        hear(s->card, s->start_frame + q + s->card->fifo, q < s->appl ? s->queued[q % buffer] : 0);
      }
    }
    ++s->steps;
    const int64_t waiting = is_playback(s) ? buffer - (s->appl - to) : to - s->appl;
    if (!draining && waiting >= (int64_t)s->stop_threshold) {
      s->xrun = 1;
      if (is_playback(s)) ++s->card->underruns; else ++s->card->overruns;
      note(s->card, "%s at=%lld\n", is_playback(s) ? "underrun" : "overrun",
           (long long)(s->start_frame + to));
      arm(s, 0); /* a poll in progress wakes with POLLERR */
      return;
    }
  }
}

static int card_start(snd_pcm_ioplug_t *io) {
  struct stream *s = io->private_data;
  /* A card's first period starts on a frame of its clock. */
  s->start_frame = (int64_t)ceil(frames_at(s, now_ns()));
  s->steps = 0;
  s->running = 1;
  arm(s, time_of_frame(s, s->start_frame + (int64_t)io->period_size));
  return 0;
}

static int card_stop(snd_pcm_ioplug_t *io) {
  struct stream *s = io->private_data;
  advance(s); /* what the card played up to the stop was heard */
  s->running = 0;
  disarm(s);
  return 0;
}

static snd_pcm_sframes_t card_pointer(snd_pcm_ioplug_t *io) {
  struct stream *s = io->private_data;
  advance(s);
  if (s->xrun) return -EPIPE;
  return (snd_pcm_sframes_t)((uint64_t)(s->steps * (int64_t)io->period_size) % s->boundary);
}

static snd_pcm_sframes_t card_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                       snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  struct stream *s = io->private_data;
  for (snd_pcm_uframes_t i = 0; i < size; ++i) {
    const int64_t position = s->appl + (int64_t)i;
    if (is_playback(s)) {
      const uint32_t v = s->card->watch < (long)io->channels ? get_sample(&areas[s->card->watch], offset + i) : 0;
      s->queued[position % (int64_t)io->buffer_size] = v;
    } else {
      const int64_t counter = s->start_frame + position - s->card->fifo;
      const uint32_t residue = (uint32_t)(((counter % COUNTER_MODULUS) + COUNTER_MODULUS) % COUNTER_MODULUS) + 1;
      for (unsigned int c = 0; c < io->channels; ++c) put_sample(&areas[c], offset + i, (c & 7) << CHANNEL_SHIFT | residue);
    }
  }
  s->appl += (int64_t)size;
  return (snd_pcm_sframes_t)size;
}

static int card_delay(snd_pcm_ioplug_t *io, snd_pcm_sframes_t *delay) {
  struct stream *s = io->private_data;
  advance(s);
  if (s->xrun) return -EPIPE;
  /* Read from the converter's position, as a card with a position register
   * reports it: between period steps too. */
  int64_t hw = s->steps * (int64_t)io->period_size;
  if (s->running) {
    const int64_t now = (int64_t)floor(frames_at(s, card_time(s->card, now_ns())) - s->start_frame);
    if (now > hw) hw = now;
  }
  *delay = (snd_pcm_sframes_t)((is_playback(s) ? s->appl - hw : hw - s->appl) + s->card->fifo);
  return 0;
}

static int card_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int nfds,
                             unsigned short *revents) {
  struct stream *s = io->private_data;
  uint64_t expirations;
  (void)nfds;
  if (pfd[0].revents & POLLIN) (void)!read(s->timer, &expirations, sizeof expirations);
  advance(s);
  *revents = 0;
  if (s->xrun) {
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
    *revents = POLLERR;
    return 0;
  }
  if (s->running) {
    /* The next step, or the end of a stall that holds it back. */
    const int64_t next = time_of_frame(s, s->start_frame + (s->steps + 1) * (int64_t)io->period_size);
    const int64_t now = now_ns();
    arm(s, card_time(s->card, now) < now ? now + 1000000 : next);
  }
  const int64_t hw = s->steps * (int64_t)io->period_size;
  const int64_t avail = is_playback(s) ? (int64_t)io->buffer_size - (s->appl - hw) : hw - s->appl;
  if (avail >= (int64_t)s->avail_min) *revents = is_playback(s) ? POLLOUT : POLLIN;
  return 0;
}

static int card_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *params) {
  struct stream *s = io->private_data;
  (void)params;
  if (is_playback(s)) {
    free(s->queued);
    s->queued = calloc(io->buffer_size, sizeof *s->queued);
    if (!s->queued) return -ENOMEM;
  }
  return 0;
}

static int card_sw_params(snd_pcm_ioplug_t *io, snd_pcm_sw_params_t *params) {
  struct stream *s = io->private_data;
  snd_pcm_sw_params_get_stop_threshold(params, &s->stop_threshold);
  snd_pcm_sw_params_get_avail_min(params, &s->avail_min);
  snd_pcm_sw_params_get_boundary(params, &s->boundary);
  return 0;
}

static int card_prepare(snd_pcm_ioplug_t *io) {
  struct stream *s = io->private_data;
  s->running = s->xrun = 0;
  s->steps = s->appl = 0;
  disarm(s);
  return 0;
}

static void summarise(struct card *card) {
  note(card,
       "summary played=%lld sound=%lld silence=%lld repeats=%lld wrong_channel=%lld underruns=%lld "
       "overruns=%lld delay_min=%lld delay_max=%lld\n",
       (long long)card->played, (long long)card->sound, (long long)card->silence,
       (long long)card->repeats, (long long)card->wrong_channel, (long long)card->underruns,
       (long long)card->overruns, (long long)card->delay_min, (long long)card->delay_max);
}

static int card_close(snd_pcm_ioplug_t *io) {
  struct stream *s = io->private_data;
  struct card *card = s->card;
  close(s->timer);
  free(s->queued);
  free(s);
  if (--card->users > 0) return 0;
  summarise(card);
  if (card->log) fclose(card->log);
  for (struct card **link = &cards; *link; link = &(*link)->next) {
    if (*link == card) {
      *link = card->next;
      break;
    }
  }
  free(card->name);
  free(card);
  return 0;
}

static const snd_pcm_ioplug_callback_t card_callbacks = {
    .start = card_start,
    .stop = card_stop,
    .pointer = card_pointer,
    .transfer = card_transfer,
    .close = card_close,
    .hw_params = card_hw_params,
    .sw_params = card_sw_params,
    .prepare = card_prepare,
    .poll_revents = card_poll_revents,
    .delay = card_delay,
};

/* Reads the options into a new card; a negative errno on a bad one. */
static int read_options(struct card *card, snd_config_t *conf) {
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t *entry = snd_config_iterator_entry(i);
    const char *id, *text;
    long value = 0;
    double real = 0;
    if (snd_config_get_id(entry, &id) < 0) continue;
    if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint")) continue;
    if (!strcmp(id, "log")) {
      if (snd_config_get_string(entry, &text) < 0) return -EINVAL;
      if (!(card->log = fopen(text, "a"))) return -errno;
      continue;
    }
    if (!strcmp(id, "rates")) {
      snd_config_iterator_t j, next_rate;
      if (snd_config_get_type(entry) != SND_CONFIG_TYPE_COMPOUND) return -EINVAL;
      snd_config_for_each(j, next_rate, entry) {
        if (card->rate_count == MAX_RATES ||
            snd_config_get_integer(snd_config_iterator_entry(j), &value) < 0) return -EINVAL;
        card->rates[card->rate_count++] = (unsigned int)value;
      }
      continue;
    }
    if (snd_config_get_ireal(entry, &real) < 0) {
      SNDERR("simulated_card: unknown or bad option %s", id);
      return -EINVAL;
    }
    value = lround(real);
    if (!strcmp(id, "ppm")) card->capture_scale = 1.0 + real / 1e6;
    else if (!strcmp(id, "fifo")) card->fifo = value;
    else if (!strcmp(id, "stall_at")) card->stall_at_ns = value * 1000000;
    else if (!strcmp(id, "stall_for")) card->stall_ns = value * 1000000;
    else if (!strcmp(id, "stall_every")) card->stall_every_ns = value * 1000000;
    else if (!strcmp(id, "capture_rate")) card->capture_rate = (unsigned int)value;
    else if (!strcmp(id, "interleaved")) card->interleaved_only = value != 0;
    else if (!strcmp(id, "watch")) card->watch = value;
    else if (!strcmp(id, "source")) card->source = value;
    else {
      SNDERR("simulated_card: unknown option %s", id);
      return -EINVAL;
    }
  }
  const char *path = getenv("QUAVELOR_CARD_LOG");
  if (!card->log && path && !(card->log = fopen(path, "a"))) return -errno;
  return 0;
}

/* The card of this device name, made on its first open. */
static int find_card(const char *name, snd_config_t *conf, struct card **found) {
  for (struct card *card = cards; card; card = card->next) {
    if (!strcmp(card->name, name)) {
      ++card->users;
      *found = card;
      return 0;
    }
  }
  struct card *card = calloc(1, sizeof *card);
  if (!card) return -ENOMEM;
  card->capture_scale = 1.0;
  card->epoch_ns = now_ns();
  int err = read_options(card, conf);
  if (err < 0 || !(card->name = strdup(name))) {
    if (card->log) fclose(card->log);
    free(card);
    return err < 0 ? err : -ENOMEM;
  }
  card->users = 1;
  card->next = cards;
  cards = card;
  *found = card;
  return 0;
}

static int set_constraints(snd_pcm_ioplug_t *io, const struct card *card) {
  static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED};
  static const unsigned int format[] = {SND_PCM_FORMAT_S24_3LE};
  int err;
  if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, card->interleaved_only ? 1 : 2, access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, format)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 256)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 24)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128, 1 << 26)) < 0) {
    return err;
  }
  if (io->stream == SND_PCM_STREAM_CAPTURE && card->capture_rate > 0) {
    return snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, 1, &card->capture_rate);
  }
  if (card->rate_count > 0) return snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, card->rate_count, card->rates);
  return snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000);
}

SND_PCM_PLUGIN_DEFINE_FUNC(simulated_card) {
  (void)root;
  struct stream *s = calloc(1, sizeof *s);
  if (!s) return -ENOMEM;
  int err = find_card(name ? name : "simulated_card", conf, &s->card);
  if (err < 0) {
    free(s);
    return err;
  }
  s->scale = stream == SND_PCM_STREAM_CAPTURE ? s->card->capture_scale : 1.0;
  s->boundary = 1;
  s->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  s->io.version = SND_PCM_IOPLUG_VERSION;
  s->io.name = "simulated card";
  s->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
  s->io.poll_fd = s->timer;
  s->io.poll_events = POLLIN;
  s->io.callback = &card_callbacks;
  s->io.private_data = s;
  if (s->timer < 0 || (err = snd_pcm_ioplug_create(&s->io, name, stream, mode)) < 0) {
    if (s->timer >= 0) close(s->timer);
    err = s->timer < 0 ? -errno : err;
    --s->card->users; /* a card left with no users stays until the process ends */
    free(s);
    return err;
  }
  if ((err = set_constraints(&s->io, s->card)) < 0) {
    snd_pcm_ioplug_delete(&s->io);
    return err;
  }
  *pcmp = s->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(simulated_card)
