// ALSA playback PCMs of the audio channels: opening "default" without
// blocking, the hardware parameters in numbered steps, level-scaled writes,
// the drain test and recovery after under-runs and suspends; and the feed
// thread that writes every playing channel into its PCM, arms the loop
// timers of samples and hands finished channels back to the engine. A
// module renders one second ahead on the channel's own copy of its player,
// while the script's player is moved on by the frames played. Every ALSA
// function is reached through the desktop-library binding's slots.
// Invariants: a channel's pcm is non-null exactly while its PCM is open;
// the parameter block is freed on every path of SetPcmParameters; the feed
// thread touches channels only with the engine's table lock held; the
// script's player of a module never runs ahead of the frames written.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "platform/linux/alsa_private.h"
#include "platform/linux/desktop_private.h"
#include "platform/linux/dynlib.h"
#include "platform/linux/eventhooks_private.h"

namespace {

snd_pcm_t* asPcm(void* pcm) { return static_cast<snd_pcm_t*>(pcm); }

snd_pcm_format_t alsaFormat(const PcmFormat* format) {
  bool isSigned = format->flags & PCM_SIGNED;
  if (format->bits == 8) return isSigned ? SND_PCM_FORMAT_S8 : SND_PCM_FORMAT_U8;
  bool big = format->flags & PCM_BIGENDIAN;
  if (isSigned) return big ? SND_PCM_FORMAT_S16_BE : SND_PCM_FORMAT_S16_LE;
  return big ? SND_PCM_FORMAT_U16_BE : SND_PCM_FORMAT_U16_LE;
}

// The hardware parameters in eight numbered steps; a failing step gives
// ERR_ALSAPCM with its number as the error argument.
ErrorCode setPcmParameters(snd_pcm_t* pcm, const PcmFormat* format, int32_t rate,
                           uint32_t* bufferFrames) {
  snd_pcm_hw_params_t* params = nullptr;
  if (Dl_snd_pcm_hw_params_malloc(&params) < 0 || !params) return ERR_MEM;
  unsigned int wantRate = static_cast<unsigned int>(rate);
  unsigned int bufferTime = 100000;
  snd_pcm_uframes_t frames = 0;
  int step = 0;
  if (Dl_snd_pcm_hw_params_any(pcm, params) < 0)
    step = 1;
  else if (Dl_snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
    step = 2;
  else if (Dl_snd_pcm_hw_params_set_format(pcm, params, alsaFormat(format)) < 0)
    step = 3;
  else if (Dl_snd_pcm_hw_params_set_rate_near(pcm, params, &wantRate, nullptr) < 0)
    step = 4;
  else if (Dl_snd_pcm_hw_params_set_channels(pcm, params,
                                             static_cast<unsigned int>(format->channels)) < 0)
    step = 5;
  else if (Dl_snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferTime, nullptr) < 0)
    step = 6;
  else if (Dl_snd_pcm_hw_params_get_buffer_size(params, &frames) < 0)
    step = 7;
  else if (Dl_snd_pcm_hw_params(pcm, params) < 0)
    step = 8;
  Dl_snd_pcm_hw_params_free(params);
  if (step) {
    SetPlatformErrorArgNumber(step);
    return ERR_ALSAPCM;
  }
  *bufferFrames = static_cast<uint32_t>(frames);
  return 0;
}

// value * level / 64, truncated toward zero (integer division does that).
inline int32_t scaled(int32_t value, int32_t level) { return value * level / ALSA_FULL_LEVEL; }

uint16_t swapped(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

}  // namespace

ErrorCode OpenAlsaPcm(const PcmFormat* format, int32_t rate, AlsaChannelOutput* out) {
  out->pcm = nullptr;
  if (!DesktopLibraryOpen(DESKTOP_ALSA)) return ERR_OPENAUDIO;
  snd_pcm_t* pcm = nullptr;
  if (Dl_snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0 || !pcm)
    return ERR_OPENAUDIO;
  uint32_t bufferFrames = 0;
  ErrorCode error = setPcmParameters(pcm, format, rate, &bufferFrames);
  if (!error && Dl_snd_pcm_prepare(pcm) < 0) error = ERR_OPENAUDIO;
  if (error) {
    Dl_snd_pcm_close(pcm);
    return error;
  }
  out->pcm = pcm;
  out->bufferFrames = bufferFrames;
  out->rate = rate;
  out->written = 0;
  return 0;
}

void CloseAlsaPcm(AlsaChannelOutput* out) {
  if (out->pcm) {
    Dl_snd_pcm_drop(asPcm(out->pcm));
    Dl_snd_pcm_close(asPcm(out->pcm));
  }
  FreeMemory(out->staging);
  out->staging = nullptr;
  out->stagingLength = 0;
  out->pcm = nullptr;
  out->state = 0;
}

long AlsaWriteFrames(int32_t level, int32_t sampleFormat, int swap, void* conversion, void* pcm,
                     uint32_t frames, const void* source) {
  if (level < 0) level = 0;
  if (level >= ALSA_FULL_LEVEL) return Dl_snd_pcm_writei(asPcm(pcm), source, frames);
  if (frames > ALSA_CONVERT_FRAMES) frames = ALSA_CONVERT_FRAMES;
  const int32_t channels = (sampleFormat & 1) ? 2 : 1;
  const size_t values = static_cast<size_t>(frames) * channels;
  if (sampleFormat <= SAMPLE_U8_STEREO) {
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* outBytes = static_cast<uint8_t*>(conversion);
    // Unsigned samples are scaled around their silence, 128: scaled toward
    // 0 they would move the signal's DC level with the volume, so every
    // volume change (and every sample started below full volume) would
    // step the output, a click, and a quiet sound would play off-centre.
    for (size_t i = 0; i < values; i++)
      outBytes[i] = static_cast<uint8_t>(128 + scaled(static_cast<int32_t>(in[i]) - 128, level));
  } else if (sampleFormat <= SAMPLE_S8_STEREO) {
    const int8_t* in = static_cast<const int8_t*>(source);
    int8_t* outBytes = static_cast<int8_t*>(conversion);
    for (size_t i = 0; i < values; i++) outBytes[i] = static_cast<int8_t>(scaled(in[i], level));
  } else {
    const uint16_t* in = static_cast<const uint16_t*>(source);
    uint16_t* outWords = static_cast<uint16_t*>(conversion);
    for (size_t i = 0; i < values; i++) {
      uint16_t raw = in[i];
      if (swap) raw = swapped(raw);
      uint16_t result = static_cast<uint16_t>(scaled(static_cast<int16_t>(raw), level));
      outWords[i] = swap ? swapped(result) : result;
    }
  }
  return Dl_snd_pcm_writei(asPcm(pcm), conversion, frames);
}

int IsAlsaPcmDrained(const AlsaChannelOutput* out) {
  if (Dl_snd_pcm_avail) {
    snd_pcm_sframes_t room = Dl_snd_pcm_avail(asPcm(out->pcm));
    if (room < 0) return 1;
    return room >= static_cast<snd_pcm_sframes_t>(out->bufferFrames) - 25;
  }
  TimeValue now;
  GetSysTime(&now);
  TimeValue since = out->endTime;
  if (CmpTime(&now, &since) < 0) return 0;
  SubTime(&now, &since);
  return now.seconds != 0;
}

void RecoverPcm(void* pcm, int error) {
  if (error == -EPIPE) {
    Dl_snd_pcm_prepare(asPcm(pcm));
  } else if (error == -ESTRPIPE) {
    int result;
    while ((result = Dl_snd_pcm_resume(asPcm(pcm))) == -EAGAIN) Delay(1000);
    if (result < 0) Dl_snd_pcm_prepare(asPcm(pcm));
  }
}

// ---- Feed thread ----

namespace {

constexpr int32_t FEED_THREAD_PRIORITY = 25;
constexpr useconds_t IDLE_SLEEP_US = 500;      // when no channel took data in a pass
constexpr uint32_t MODULE_RATE = 48000;        // a module channel's frames per second
constexpr int32_t MODULE_BYTES_PER_FRAME = 4;  // 16-bit stereo

std::atomic<const AudioFeedHooks*> feedHooks{nullptr};
pthread_t feedThread;
bool feedRunning = false;  // main thread only
std::atomic<int> feedStop{0};

struct LoopTimer {
  LoopTimer* next;
  timer_t id;
  int64_t dueMs;  // when it fires, in wall-clock milliseconds
};

// Deleting a timer discards its signal if the signal thread has not taken
// it yet, so a fired timer is kept this long before it goes.
constexpr int64_t TIMER_KEEP_MS = 1000;

int64_t nowMs() {
  TimeValue now;
  GetSysTime(&now);
  return static_cast<int64_t>(now.seconds) * 1000 + now.micros / 1000;
}

// A pass that lasts less than a millisecond counts as one.
int64_t passLength(const AlsaChannelOutput* o) { return o->passMs > 0 ? o->passMs : 1; }

// The loop notice of pass `pass` is due when that pass begins: start time
// plus the passes before it. A moment already past fires at once (1 ms),
// never with a negative or wrapped delay.
void armLoopTimer(const AudioFeedHooks* h, int32_t index, const AlsaChannelOutput* o, int32_t pass,
                  LoopTimer** timers) {
  int64_t due = static_cast<int64_t>(o->startTime.seconds) * 1000 + o->startTime.micros / 1000 +
                (pass - 1) * passLength(o);
  int64_t at = nowMs();
  int64_t delay = due - at;
  if (delay < 1) delay = 1;
  auto* node = static_cast<LoopTimer*>(AllocMemory(sizeof(LoopTimer), 1));
  if (!node) return;
  sigevent event = {};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGRTMIN + 1;
  event.sigev_value.sival_ptr = reinterpret_cast<void*>(h->loopTimerValue(index, pass));
  if (timer_create(CLOCK_REALTIME, &event, &node->id) != 0) {
    FreeMemory(node);
    return;
  }
  itimerspec spec = {};
  spec.it_value.tv_sec = static_cast<time_t>(delay / 1000);
  spec.it_value.tv_nsec = static_cast<long>(delay % 1000) * 1000000;
  timer_settime(node->id, 0, &spec, nullptr);
  node->dueMs = at + delay;
  node->next = *timers;
  *timers = node;
}

void reapTimers(LoopTimer** timers, bool all) {
  int64_t now = nowMs();
  for (LoopTimer** link = timers; *link;) {
    LoopTimer* t = *link;
    if (all || now >= t->dueMs + TIMER_KEEP_MS) {
      timer_delete(t->id);
      *link = t->next;
      FreeMemory(t);
    } else {
      link = &t->next;
    }
  }
}

// Marks a channel whose data is all written; it ends once its PCM played out.
void markFinished(AlsaChannelOutput* o) {
  o->finished = 1;
  GetSysTime(&o->endTime);
}

// A device may report its queue empty before the sound can have played
// (a null device takes everything at once): a sample also ends no earlier
// than its play time after it started, so its end notice follows every
// loop notice.
bool playTimeOver(const AlsaChannelOutput* o) {
  if (o->state != 2 || o->playMs <= 0) return true;
  TimeValue now;
  GetSysTime(&now);
  int64_t elapsed = (static_cast<int64_t>(now.seconds) - o->startTime.seconds) * 1000 +
                    (static_cast<int64_t>(now.micros) - o->startTime.micros) / 1000;
  return elapsed >= o->playMs;
}

bool finishIfDrained(const AudioFeedHooks* h, int32_t index, AlsaChannelOutput* o) {
  if (!o->finished) return false;
  if (IsAlsaPcmDrained(o) && playTimeOver(o)) {
    o->previousState = o->state;
    h->ended(index, o->state);
    o->state = 8;
  }
  return true;
}

// The result of a write: frames taken, 0 when the PCM is full.
long takeResult(AlsaChannelOutput* o, long written) {
  if (written >= 0) {
    o->written += static_cast<uint64_t>(written);
    return written;
  }
  if (written != -EAGAIN) {
    // The run ended: what was written has played; a new run begins with
    // the next write.
    RecoverPcm(o->pcm, static_cast<int>(written));
    o->playedBefore = o->written;
    o->runStarted = 0;
  }
  return 0;
}

// At most the frames that real time since the first write plus one buffer
// allow, so the thread never runs ahead of what can have been played.
uint32_t paced(AlsaChannelOutput* o, uint32_t frames) {
  if (o->written == 0) GetSysTime(&o->firstWrite);
  TimeValue now;
  GetSysTime(&now);
  int64_t elapsedUs = (static_cast<int64_t>(now.seconds) - o->firstWrite.seconds) * 1000000 +
                      (static_cast<int64_t>(now.micros) - o->firstWrite.micros);
  int64_t due = elapsedUs * o->rate / 1000000 + o->bufferFrames;
  int64_t room = due - static_cast<int64_t>(o->written);
  if (room <= 0) return 0;
  return room < frames ? static_cast<uint32_t>(room) : frames;
}

bool feedSample(const AudioFeedHooks* h, int32_t index, AlsaChannelOutput* o, void* conversion,
                LoopTimer** timers) {
  if (finishIfDrained(h, index, o)) return false;
  if (o->newPass) {
    o->newPass = 0;
    GetSysTime(&o->startTime);
    h->passBegan(index);
  }
  bool last = o->loopTotal != 0 && o->loopNumber >= o->loopTotal;
  uint32_t passFrames = last ? o->lastPassFrames : o->frames;
  long taken = 0;
  uint32_t room = o->position < passFrames ? paced(o, passFrames - o->position) : 0;
  if (room > 0) {
    taken =
        takeResult(o, AlsaWriteFrames(o->level, o->sampleFormat, o->swap, conversion, o->pcm, room,
                                      o->data + static_cast<size_t>(o->position) *
                                                    static_cast<size_t>(o->bytesPerFrame)));
    o->position += static_cast<uint32_t>(taken);
  }
  if (o->position >= passFrames) {
    if (last) {
      markFinished(o);
    } else {
      o->loopNumber++;
      o->position = 0;
      if (h->loopEventsWanted()) armLoopTimer(h, index, o, o->loopNumber, timers);
    }
  }
  return taken > 0;
}

bool feedStream(const AudioFeedHooks* h, int32_t index, AlsaChannelOutput* o, void* conversion) {
  if (finishIfDrained(h, index, o)) return false;
  if (!o->half || o->position >= o->halfFrames) {
    int next = h->nextHalf(index);
    if (next == 0) {
      markFinished(o);
      return false;
    }
    // The next half is not filled yet: this channel waits for a pass.
    if (next < 0 || !o->half) return false;
  }
  uint32_t room = paced(o, o->halfFrames - o->position);
  if (room == 0) return false;
  long taken =
      takeResult(o, AlsaWriteFrames(o->level, o->sampleFormat, o->swap, conversion, o->pcm, room,
                                    o->half + static_cast<size_t>(o->position) *
                                                  static_cast<size_t>(o->bytesPerFrame)));
  o->position += static_cast<uint32_t>(taken);
  return taken > 0;
}

// A video's sound is written as it arrives; nothing waits, nothing is
// written (the PCM under-runs until more comes).
bool feedVideo(const AudioFeedHooks* h, int32_t index, AlsaChannelOutput* o, void* conversion) {
  constexpr uint32_t BLOCK_FRAMES = 1024;
  if (!h->peekVideo || !h->dropVideo) return false;
  uint8_t block[BLOCK_FRAMES * 4];
  uint32_t got = h->peekVideo(index, block, paced(o, BLOCK_FRAMES));
  if (got == 0) return false;
  long taken =
      takeResult(o, AlsaWriteFrames(o->level, o->sampleFormat, 0, conversion, o->pcm, got, block));
  if (taken <= 0) return false;
  h->dropVideo(index, static_cast<uint32_t>(taken));
  return true;
}

// Microseconds from a to b.
int64_t microsBetween(const TimeValue& a, const TimeValue& b) {
  return (static_cast<int64_t>(b.seconds) - a.seconds) * 1000000 +
         (static_cast<int64_t>(b.micros) - a.micros);
}

// The frames of a module channel played so far: those of earlier runs plus
// the run's time since the PCM was triggered (the PCM's own time stamps,
// one clock), at most what was written. A device that keeps no trigger
// time stamp (a null device reports none) counts from the run's first
// write, when it began to take frames at real-time pace.
uint64_t framesPlayed(AlsaChannelOutput* o, snd_pcm_status_t* status) {
  if (!o->runStarted) return o->playedBefore;
  int64_t elapsedUs = -1;
  if (status && Dl_snd_pcm_status(asPcm(o->pcm), status) == 0) {
    snd_pcm_state_t state = Dl_snd_pcm_status_get_state(status);
    if (state == SND_PCM_STATE_XRUN) return o->written;  // it ran dry: all was played
    snd_timestamp_t trigger = {}, now = {};
    Dl_snd_pcm_status_get_trigger_tstamp(status, &trigger);
    Dl_snd_pcm_status_get_tstamp(status, &now);
    if (state == SND_PCM_STATE_RUNNING && (trigger.tv_sec != 0 || trigger.tv_usec != 0))
      elapsedUs = (static_cast<int64_t>(now.tv_sec) - trigger.tv_sec) * 1000000 +
                  (static_cast<int64_t>(now.tv_usec) - trigger.tv_usec);
  }
  if (elapsedUs < 0) {
    TimeValue now;
    GetSysTime(&now);
    elapsedUs = microsBetween(o->runStart, now);
  }
  if (elapsedUs < 0) elapsedUs = 0;
  uint64_t played =
      o->playedBefore + static_cast<uint64_t>(elapsedUs) * static_cast<uint64_t>(o->rate) / 1000000;
  return played < o->written ? played : o->written;
}

}  // namespace

// A module plays from a one-second staging ring on the channel's copy of
// the player: the frames the PCM took are rendered again behind it, so the
// copy stays one second ahead of what was written. The script's player is
// moved on only by the frames played, so the song position and row it
// reads are those being heard.
bool FeedAlsaModule(const AudioFeedHooks* h, int32_t index, AlsaChannelOutput* o, void* conversion,
                    snd_pcm_status_t* status) {
  if (!o->staging) return false;
  int16_t* ring = reinterpret_cast<int16_t*>(o->staging);
  if (h->takeModuleRequest && h->takeModuleRequest(index)) {
    // Another song position: what is staged belongs to the old one.
    h->renderModule(index, ring + static_cast<size_t>(o->position) * 2, MODULE_RATE - o->position);
    h->renderModule(index, ring, o->position);
  }
  bool fed = false;
  if (!o->runStarted) GetSysTime(&o->runStart);
  uint32_t room = paced(o, MODULE_RATE - o->position);
  if (room > 0) {
    uint8_t* from = o->staging + static_cast<size_t>(o->position) * MODULE_BYTES_PER_FRAME;
    long taken = takeResult(
        o, AlsaWriteFrames(o->level, SAMPLE_S16_STEREO, 0, conversion, o->pcm, room, from));
    if (taken > 0) {
      o->runStarted = 1;
      h->renderModule(index, reinterpret_cast<int16_t*>(from), static_cast<uint32_t>(taken));
      o->position += static_cast<uint32_t>(taken);
      if (o->position >= MODULE_RATE) o->position = 0;
      fed = true;
    }
  }
  uint64_t played = framesPlayed(o, status);
  while (played > o->counted) {
    uint64_t step = played - o->counted;
    if (step > MODULE_RATE) step = MODULE_RATE;
    h->renderModule(index, nullptr, static_cast<uint32_t>(step));
    o->counted += step;
  }
  return fed;
}

namespace {

void* audioFeedMain(void*) {
  void* conversion = AllocMemory(ALSA_CONVERSION_BYTES, 1);
  // The status block the module channels read their played frames from;
  // without it they count by the clock.
  snd_pcm_status_t* status = nullptr;
  if (Dl_snd_pcm_status_malloc && Dl_snd_pcm_status_malloc(&status) < 0) status = nullptr;
  LoopTimer* timers = nullptr;
  while (conversion && !feedStop.load()) {
    bool fed = false;
    if (const AudioFeedHooks* h = feedHooks.load()) {
      h->lock();
      int32_t count = h->channelCount();
      for (int32_t i = 0; i < count; i++) {
        AlsaChannelOutput* o = h->channelOutput(i);
        if (!o || !o->pcm) continue;
        switch (o->state) {
          case 2:
            fed |= feedSample(h, i, o, conversion, &timers);
            break;
          case 3:
            fed |= FeedAlsaModule(h, i, o, conversion, status);
            break;
          case 4:
            fed |= feedStream(h, i, o, conversion);
            break;
          case 5:
            fed |= feedVideo(h, i, o, conversion);
            break;
          default:
            break;
        }
      }
      h->unlock();
    }
    if (!fed) usleep(IDLE_SLEEP_US);
    reapTimers(&timers, false);
  }
  reapTimers(&timers, true);
  if (status) Dl_snd_pcm_status_free(status);
  FreeMemory(conversion);
  return nullptr;
}

}  // namespace

void SetAudioFeedHooks(const AudioFeedHooks* hooks) { feedHooks.store(hooks); }

ErrorCode StartAudioFeedThread() {
  if (feedRunning) return ERR_NONE;
  if (!DesktopLibraryOpen(DESKTOP_ALSA)) return ERR_OPENAUDIO;
  feedStop.store(0);
  feedThread = CreateThread(audioFeedMain, nullptr, FEED_THREAD_PRIORITY);
  if (!feedThread) return ERR_THREAD;
  feedRunning = true;
  return ERR_NONE;
}

void StopAudioFeedThread() {
  if (!feedRunning) return;
  feedStop.store(1);
  pthread_join(feedThread, nullptr);
  feedRunning = false;
}

void ReleaseAudioChannels() {
  const AudioFeedHooks* h = feedHooks.load();
  if (!h) return;
  h->lock();
  int32_t count = h->channelCount();
  for (int32_t i = 0; i < count; i++) {
    AlsaChannelOutput* o = h->channelOutput(i);
    if (o && o->state == 8) h->release(i);
  }
  h->unlock();
}

void CheckAudioTimeouts() {
  const AudioFeedHooks* h = feedHooks.load();
  if (h && h->checkTimeouts) h->checkTimeouts();
}

// The loop timer's signal, taken by the signal thread: the engine posts
// the notice if the channel still plays that sample.
void HandleSampleLoopSignal(void* value) {
  const AudioFeedHooks* h = feedHooks.load();
  if (h) h->loopSignal(reinterpret_cast<uintptr_t>(value));
}
