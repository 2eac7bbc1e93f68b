// Music streaming on a channel: two halves of one second each; the output
// (the adapter's feeder or the built-in feed thread) plays one while the
// channel's decode thread fills the other, wrapping to the stream's start
// inside a half while passes remain. Invariant: a half is played only
// after the thread has filled it (filled[] is set with release order after
// its frames and halfValid are written, and cleared by the consumer before
// it asks for a refill), so a slow decode gives silence, never the
// previous second again.
#include <algorithm>
#include <cstring>

#include "media/audio_private.h"
#include "media/media_private.h"

namespace {

constexpr int32_t STREAM_THREAD_PRIORITY = 100;
constexpr uint32_t ENDLESS = 0xFFFFFFFF;

std::atomic<int32_t> pendingRefills{0};
std::atomic<uint32_t> underrunCount{0};

// Decode position changes that keep the stream's time fields: a wrap or a
// restart is not a seek as far as the play time goes.
void seekKeepingTimes(SoundStream* s, uint32_t frame) {
  TimeValue positionTime = s->positionTime, playStart = s->playStartTime;
  SeekSoundFile(s, frame);
  s->positionTime = positionTime;
  s->playStartTime = playStart;
}

// The decoder's side of a channel, owned by the thread once it runs.
struct Decoder {
  ChannelStreamState* st;
  SoundStream* s;
  int32_t loopTotal;
  int32_t pass;
  int ended;
};

// Fills one half: the stream's frames, wrapping to its start while passes
// remain; at the end the rest is silence and the half is marked as the
// last. Returns once the half is filled.
void fillHalf(Decoder* d, int32_t half) {
  ChannelStreamState* st = d->st;
  SoundStream* s = d->s;
  const size_t bpf = static_cast<size_t>(st->bytesPerFrame);
  uint8_t* base = st->buffer + static_cast<size_t>(half) * st->halfFrames * bpf;
  uint32_t got = 0;
  bool wrappedEmpty = false;
  while (got < st->halfFrames && !d->ended) {
    uint32_t want = st->halfFrames - got;
    if (s->streamFrames != ENDLESS) {
      uint32_t at = s->position / static_cast<uint32_t>(std::max(1, s->framesPerUnit));
      want = std::min(want, s->streamFrames - std::min(at, s->streamFrames));
    }
    int32_t done = 0;
    uint32_t n = want ? DecodeSoundBlock(s, base + got * bpf, want, &done) : 0;
    got += n;
    if (want > 0 && n == want && !done) {
      wrappedEmpty = false;
      continue;
    }
    // The pass ended inside this half.
    bool more = d->loopTotal == 0 || d->pass < d->loopTotal;
    if (more && !(wrappedEmpty && n == 0)) {
      wrappedEmpty = n == 0;
      seekKeepingTimes(s, 0);
      d->pass++;
      continue;
    }
    d->ended = 1;
  }
  st->halfValid[half] = got;
  if (got < st->halfFrames) {
    uint8_t silence = (s->formatCode == 0 || s->formatCode == 1) ? 128 : 0;
    std::memset(base + got * bpf, silence, (st->halfFrames - got) * bpf);
  }
  if (d->ended) st->endHalf.store(half, std::memory_order_release);
  st->filled[half].store(1, std::memory_order_release);
}

void* streamThread(void* argument) {
  auto* d = static_cast<Decoder*>(argument);
  ChannelStreamState* st = d->st;
  for (;;) {
    pthread_mutex_lock(&st->lock);
    while (!st->refill && !st->stop) pthread_cond_wait(&st->cond, &st->lock);
    if (st->stop) {
      pthread_mutex_unlock(&st->lock);
      break;
    }
    st->refill--;
    int32_t half = st->fillHalf;
    st->fillHalf ^= 1;
    pthread_mutex_unlock(&st->lock);
    if (!d->ended) fillHalf(d, half);
    pendingRefills.fetch_sub(1);
  }
  return nullptr;
}

void requestRefill(ChannelStreamState* st) {
  if (!st->threadRunning) return;
  pendingRefills.fetch_add(1);
  pthread_mutex_lock(&st->lock);
  st->refill++;
  pthread_cond_signal(&st->cond);
  pthread_mutex_unlock(&st->lock);
}

void freeState(ChannelStreamState* st) {
  if (st->lockMade) {
    pthread_mutex_destroy(&st->lock);
    pthread_cond_destroy(&st->cond);
  }
  FreeMemory(st->buffer);
  FreeMemory(st);
}

// The state and its decoder in one block, the state first, so freeing the
// state frees both.
struct StateWithDecoder {
  ChannelStreamState state;
  Decoder decoder;
};

bool haveAdapter() { return mediaContext.adapter.base != nullptr; }

}  // namespace

ErrorCode StartChannelStream(AudioChannel* c) {
  SoundStream* s = c->stream;
  if (!s || s->rate <= 0 || s->bytesPerFrame <= 0 || s->formatCode < 0) return ERR_WRONGUSAGE;
  auto* both = static_cast<StateWithDecoder*>(AllocMemory(sizeof(StateWithDecoder), 1));
  if (!both) return ERR_MEM;
  ChannelStreamState* st = &both->state;
  Decoder* d = &both->decoder;
  const int32_t unit = std::max(1, s->framesPerUnit);
  st->halfFrames = static_cast<uint32_t>(s->rate / unit);
  if (st->halfFrames == 0) st->halfFrames = 1;
  st->bytesPerFrame = s->outputBytesPerFrame ? s->outputBytesPerFrame : s->bytesPerFrame;
  st->endHalf.store(-1);
  st->buffer = static_cast<uint8_t*>(
      AllocMemoryArray(static_cast<size_t>(st->halfFrames) * 2, st->bytesPerFrame, 0));
  if (!st->buffer) {
    FreeMemory(both);
    return ERR_MEM;
  }
  *d = {st, s, c->loopTotal, c->loopNumber, 0};
  s->accumulatedMs = static_cast<int64_t>(s->position) * 1000 / s->rate;
  seekKeepingTimes(s, s->position);
  fillHalf(d, 0);
  st->fillHalf = 1;
  st->currentHalf = 0;
  st->halfPosition = 0;
  if (!d->ended) {
    if (pthread_mutex_init(&st->lock, nullptr) || pthread_cond_init(&st->cond, nullptr)) {
      freeState(st);
      return ERR_SEMAPHORE;
    }
    st->lockMade = 1;
    st->thread = CreateThread(streamThread, d, STREAM_THREAD_PRIORITY);
    if (!st->thread) {
      pthread_mutex_destroy(&st->lock);
      pthread_cond_destroy(&st->cond);
      FreeMemory(st->buffer);
      FreeMemory(both);
      return ERR_THREAD;
    }
    st->threadRunning = 1;
  }
  c->streaming = st;
  ErrorCode error = ERR_NONE;
  if (haveAdapter()) {
    AudioAdapterRecord& a = mediaContext.adapter;
    c->kind = CHANNEL_STREAM;
    c->adapterChannel = a.allocChannel ? a.allocChannel(a.handle, s->formatCode, s->rate, c->volume,
                                                        AudioAdapterFeed, 0, c, 0)
                                       : nullptr;
    if (!c->adapterChannel) error = ERR_ALLOCCHANNEL;
  } else {
    PcmFormat format = {s->bits, s->bytesPerFrame, s->channels,
                        static_cast<int32_t>(s->flags & (PCM_SIGNED | PCM_BIGENDIAN))};
    error = OpenAlsaPcm(&format, s->rate, &c->output);
    if (!error) {
      c->kind = CHANNEL_STREAM;
      c->output.level = c->volume;
      c->output.sampleFormat = s->formatCode;
      c->output.bytesPerFrame = st->bytesPerFrame;
      c->output.swap = (s->bits == 16 && (s->flags & SOUNDFLAG_BIGENDIAN)) ? 1 : 0;
      c->output.half = st->buffer;
      c->output.halfFrames = st->halfValid[0];
      c->output.position = 0;
      AudioNow(&s->playStartTime);
      c->output.state = CHANNEL_STREAM;
    }
  }
  if (error) {
    CloseAlsaPcm(&c->output);
    StopChannelStream(c, 0, nullptr, nullptr);
    return error;
  }
  // The second half is decoded at once.
  requestRefill(st);
  return ERR_NONE;
}

void StopChannelStream(AudioChannel* c, int pause, int32_t* pass, uint32_t* position) {
  ChannelStreamState* st = c->streaming;
  SoundStream* s = c->stream;
  if (st) {
    if (st->threadRunning) {
      pthread_mutex_lock(&st->lock);
      st->stop = 1;
      pthread_cond_signal(&st->cond);
      pthread_mutex_unlock(&st->lock);
      pthread_join(st->thread, nullptr);
      pendingRefills.fetch_sub(st->refill);
      st->threadRunning = 0;
    }
    underrunCount.fetch_add(st->underruns);
    c->streaming = nullptr;
    freeState(st);
  }
  if (!s) return;
  int32_t reported = c->loopNumber;
  bool started = s->playStartTime.seconds != 0 || s->playStartTime.micros != 0;
  if (pause && started && s->rate > 0) {
    // All in 64 bits; a stream shorter than a millisecond counts as one.
    int64_t duration = std::max<int64_t>(1, static_cast<int64_t>(s->frames) * 1000 / s->rate);
    TimeValue now;
    AudioNow(&now);
    int64_t elapsed = MsBetween(s->playStartTime, now) + s->accumulatedMs;
    s->accumulatedMs = elapsed;
    reported = static_cast<int32_t>(elapsed / duration + 1);
    int64_t at = elapsed % duration;
    s->positionTime = {static_cast<uint32_t>(at / 1000), static_cast<uint32_t>(at % 1000 * 1000)};
    s->position = static_cast<uint32_t>(at * s->rate / 1000);
    s->playStartTime = {0, 0};
  } else if (!pause) {
    s->position = 0;
    s->positionTime = {0, 0};
    s->playStartTime = {0, 0};
    s->accumulatedMs = 0;
    seekKeepingTimes(s, 0);
  }
  if (pass) *pass = reported;
  if (position) *position = s->position;
}

uint32_t FeedStreamChannel(AudioChannel* c, uint8_t* out, uint32_t frames) {
  ChannelStreamState* st = c->streaming;
  if (!st || c->timedEnd) return 0;
  if (c->firstFeed) {
    AudioNow(&c->stream->playStartTime);
    c->firstFeed = 0;
  }
  const size_t bpf = static_cast<size_t>(st->bytesPerFrame);
  uint32_t done = 0;
  while (done < frames) {
    int32_t h = st->currentHalf;
    if (!st->filled[h].load(std::memory_order_acquire)) {
      // The thread has not filled this half yet: silence, not old sound.
      st->underruns++;
      uint8_t silence = (c->stream->formatCode == 0 || c->stream->formatCode == 1) ? 128 : 0;
      std::memset(out + done * bpf, silence, (frames - done) * bpf);
      return frames;
    }
    uint32_t valid = st->halfValid[h];
    uint32_t n = std::min(frames - done, valid - st->halfPosition);
    std::memcpy(out + done * bpf,
                st->buffer + (static_cast<size_t>(h) * st->halfFrames + st->halfPosition) * bpf,
                n * bpf);
    done += n;
    st->halfPosition += n;
    if (st->halfPosition < valid) break;
    if (st->endHalf.load(std::memory_order_acquire) == h) {
      if (Listening(LISTEN_MUSICEND)) PostChannelEvent(c, THREAD_EVENT_MUSIC_END, 0, 0);
      TimeValue now;
      AudioNow(&now);
      now.seconds += 1;
      c->endTime = now;
      c->timedEnd = 1;
      break;
    }
    st->filled[h].store(0, std::memory_order_release);
    requestRefill(st);
    st->currentHalf = h ^ 1;
    st->halfPosition = 0;
  }
  return done;
}

int NextStreamHalf(AudioChannel* c, int* wait) {
  ChannelStreamState* st = c->streaming;
  *wait = 0;
  if (!st) return 0;
  int32_t h = st->currentHalf;
  if (c->output.half) {
    // The half just written is done.
    if (st->endHalf.load(std::memory_order_acquire) == h) return 0;
    c->output.half = nullptr;
    st->filled[h].store(0, std::memory_order_release);
    requestRefill(st);
    st->currentHalf = h ^= 1;
  }
  if (!st->filled[h].load(std::memory_order_acquire)) {
    *wait = 1;
    return -1;
  }
  c->output.half = st->buffer + static_cast<size_t>(h) * st->halfFrames * st->bytesPerFrame;
  c->output.halfFrames = st->halfValid[h];
  c->output.position = 0;
  return 1;
}

int WaitStreamThreadsIdle(int32_t milliseconds) {
  for (int32_t waited = 0; pendingRefills.load() > 0; waited++) {
    if (waited >= milliseconds) return 0;
    Delay(1);
  }
  return 1;
}

uint32_t CountStreamUnderruns() {
  uint32_t total = underrunCount.load();
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++)
    if (mediaContext.channels[i].streaming) total += mediaContext.channels[i].streaming->underruns;
  UnlockAudioChannels();
  return total;
}
