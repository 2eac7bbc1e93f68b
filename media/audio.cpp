// The audio channel engine: the fixed channel table and its lock, channel
// allocation, samples and modules on the built-in output or an audio
// adapter, the adapter's feeder, the periodic end check and the notices
// that cross to the main thread. Invariant: a channel is free (kind 0)
// exactly when its record is all zero; every stop clears the record, and a
// channel whose sound ended stays allocated until its end time (adapter)
// or until the built-in output released it (kind 8).
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "media/anim_private.h"
#include "media/audio_private.h"
#include "media/image_private.h"
#include "media/media_private.h"
#include "plugins/plugins.h"

MediaContext mediaContext;

namespace {

constexpr int32_t PANNING_CENTRE = 128;  // of 0..255
constexpr int32_t SOUND_OPTION_NOSOUND = 2;
constexpr int32_t SOUND_OPTION_DEVICE = 3;
constexpr int32_t SOUND_OPTION_SAMPLELOOP = 12;
constexpr int32_t SOUND_OPTION_SAMPLEEND = 13;
constexpr int32_t SOUND_OPTION_MUSICEND = 18;
constexpr int32_t SOUND_OPTION_VIDEOEND = 23;
constexpr int32_t SOUND_OPTION_FORCESOUND = 33;
constexpr int32_t ADAPTER_MIN_APPLET_VERSION = 6;
// An ended channel on the adapter stays allocated this long, so the
// adapter can play out what it has buffered.
constexpr uint32_t ADAPTER_END_GRACE_SECONDS = 1;
constexpr int32_t MODULE_BYTES_PER_FRAME = 4;  // 16-bit stereo

bool haveAdapter() { return mediaContext.adapter.base != nullptr; }

AudioChannel* recordOf(int32_t channel) {
  if (!mediaContext.channels || channel < 0 || channel >= mediaContext.tableSize) return nullptr;
  return &mediaContext.channels[channel];
}

void freeAdapterChannel(AudioChannel* c) {
  AudioAdapterRecord& a = mediaContext.adapter;
  if (c->adapterChannel && a.freeChannel) a.freeChannel(a.handle, c->adapterChannel);
  c->adapterChannel = nullptr;
}

void* allocAdapterChannel(AudioChannel* c, int32_t format, int32_t rate, int32_t volume) {
  AudioAdapterRecord& a = mediaContext.adapter;
  if (!a.allocChannel) return nullptr;
  return a.allocChannel(a.handle, format, rate, volume, AudioAdapterFeed, 0, c, 0);
}

void endLater(AudioChannel* c) {
  TimeValue now;
  AudioNow(&now);
  now.seconds += ADAPTER_END_GRACE_SECONDS;
  c->endTime = now;
  c->timedEnd = 1;
}

// The engine's side of the built-in feed thread.
void hookLock() { LockAudioChannels(); }
void hookUnlock() { UnlockAudioChannels(); }
int32_t hookCount() { return mediaContext.outputOpen ? mediaContext.tableSize : 0; }
AlsaChannelOutput* hookOutput(int32_t index) {
  AudioChannel* c = recordOf(index);
  return c ? &c->output : nullptr;
}
int hookLoopWanted() { return Listening(LISTEN_SAMPLELOOP); }
void hookPassBegan(int32_t index) {
  AudioChannel* c = recordOf(index);
  if (!c) return;
  AudioNow(&c->startTime);
  c->firstFeed = 0;
  c->loopNumber = c->output.loopNumber;
  if (Listening(LISTEN_SAMPLELOOP))
    PostChannelEvent(c, THREAD_EVENT_SAMPLE_LOOP,
                     static_cast<int64_t>(c->loopNumber - 1) * c->passMs, c->loopNumber);
}
// The value carries the channel, its allocation count and the pass, so a
// timer whose channel was stopped or reused since posts nothing and needs
// no memory of its own.
uintptr_t hookLoopTimerValue(int32_t index, int32_t pass) {
  return (static_cast<uintptr_t>(mediaContext.generations[index]) << 32) |
         (static_cast<uintptr_t>(pass & 0xFFFFFF) << 8) | static_cast<uintptr_t>(index & 0xFF);
}
void hookLoopSignal(uintptr_t value) {
  LockAudioChannels();
  int32_t index = static_cast<int32_t>(value & 0xFF);
  int32_t pass = static_cast<int32_t>((value >> 8) & 0xFFFFFF);
  uint32_t generation = static_cast<uint32_t>(value >> 32);
  AudioChannel* c = recordOf(index);
  if (c && mediaContext.generations[index] == generation && c->kind == CHANNEL_SAMPLE) {
    c->loopNumber = pass;
    if (Listening(LISTEN_SAMPLELOOP))
      PostChannelEvent(c, THREAD_EVENT_SAMPLE_LOOP, static_cast<int64_t>(pass - 1) * c->passMs,
                       pass);
  }
  UnlockAudioChannels();
}
void hookEnded(int32_t index, int32_t state) {
  AudioChannel* c = recordOf(index);
  if (!c) return;
  if (state == CHANNEL_SAMPLE && Listening(LISTEN_SAMPLEEND))
    PostChannelEvent(c, THREAD_EVENT_SAMPLE_END,
                     static_cast<int64_t>(c->output.loopNumber - 1) * c->passMs + c->lastPassMs,
                     c->output.loopNumber);
  if (state == CHANNEL_STREAM && Listening(LISTEN_MUSICEND))
    PostChannelEvent(c, THREAD_EVENT_MUSIC_END, 0, 0);
  c->kind = CHANNEL_ENDED;
}
// The channel's copy renders the sound ahead; the script's player (the
// music's own) is moved on by what was played.
void hookRenderModule(int32_t index, int16_t* buffer, uint32_t frames) {
  AudioChannel* c = recordOf(index);
  if (!c || !c->module || !c->renderer) return;
  RenderModuleBlock(buffer ? c->renderer : c->module, buffer, frames);
}
int hookTakeModuleRequest(int32_t index) {
  AudioChannel* c = recordOf(index);
  int32_t position, row;
  if (!c || !c->module || !c->renderer || !ModTakeRequest(c->module, &position, &row)) return 0;
  ModRequestPosition(c->renderer, position, row);
  ModJumpTo(c->module, position, row);
  return 1;
}
int hookNextHalf(int32_t index) {
  AudioChannel* c = recordOf(index);
  int wait = 0;
  return c ? NextStreamHalf(c, &wait) : 0;
}
void hookRelease(int32_t index) {
  AudioChannel* c = recordOf(index);
  if (!c) return;
  if (c->output.previousState == CHANNEL_STREAM) {
    ForgetCurrentModule(c->music);
    CloseAlsaPcm(&c->output);
    StopChannelStream(c, 0, nullptr, nullptr);
  } else {
    CloseAlsaPcm(&c->output);
  }
  ClearChannel(c);
}

uint32_t hookPeekVideo(int32_t index, uint8_t* out, uint32_t frames) {
  AudioChannel* c = recordOf(index);
  return c ? PeekVideoSoundFrames(c, out, frames) : 0;
}
void hookDropVideo(int32_t index, uint32_t frames) {
  if (AudioChannel* c = recordOf(index)) DropVideoSoundFrames(c, frames);
}

const AudioFeedHooks FEED_HOOKS = {hookLock,
                                   hookUnlock,
                                   hookCount,
                                   hookOutput,
                                   hookLoopWanted,
                                   hookPassBegan,
                                   hookLoopTimerValue,
                                   hookLoopSignal,
                                   hookEnded,
                                   hookRenderModule,
                                   hookTakeModuleRequest,
                                   hookNextHalf,
                                   hookRelease,
                                   CheckChannelTimeouts,
                                   hookPeekVideo,
                                   hookDropVideo};

int32_t sampleFormatOf(const AudioDescriptor* s) {
  if (s->formatCode >= 0) return s->formatCode;
  return -1;
}

// Built-in output: the channel's PCM for the sample, prepared but not fed
// until StartPreparedSamples.
ErrorCode prepareAlsaSample(AudioChannel* c, AudioDescriptor* s, int32_t pitch, int32_t volume) {
  PcmFormat format = {s->bits, s->bytesPerFrame, s->channels,
                      static_cast<int32_t>(s->flags & (PCM_SIGNED | PCM_BIGENDIAN))};
  // The output's 8-bit formats are signed or unsigned by the format code.
  if (s->bits == 8) format.flags = (s->formatCode >= 2) ? PCM_SIGNED : 0;
  if (s->bits == 16) format.flags |= PCM_SIGNED;
  ErrorCode error = OpenAlsaPcm(&format, pitch, &c->output);
  if (error) return error;
  AlsaChannelOutput& o = c->output;
  o.level = volume;
  o.data = s->data;
  o.frames = s->frames;
  o.lastPassFrames = c->lastPassFrames;
  o.bytesPerFrame = s->bytesPerFrame;
  o.sampleFormat = s->formatCode;
  o.swap = (s->bits == 16 && (s->flags & PCM_BIGENDIAN)) ? 1 : 0;
  o.passMs = c->passMs;
  if (c->loopTotal > 0)
    o.playMs = static_cast<int64_t>(c->loopTotal - 1) * c->passMs + c->lastPassMs;
  o.loopNumber = 1;
  o.loopTotal = c->loopTotal;
  o.newPass = 1;
  return ERR_NONE;
}

// Built-in output: the module's PCM, the channel's own copy of the player
// (taken from the music's player, so a resumed module goes on from what
// was heard) and one second staged ahead from the copy.
ErrorCode openAlsaModule(AudioChannel* c, int32_t volume) {
  const size_t stagingBytes = static_cast<size_t>(MOD_OUTPUT_RATE) * MODULE_BYTES_PER_FRAME;
  c->renderer = static_cast<ModPlayer*>(AllocMemory(ModStateSize(c->module), 0));
  uint8_t* staging = static_cast<uint8_t*>(AllocMemory(stagingBytes, 0));
  if (!c->renderer || !staging) {
    FreeMemory(staging);
    return ERR_MEM;
  }
  ModCopyState(c->renderer, c->module);
  PcmFormat format = {16, MODULE_BYTES_PER_FRAME, 2, PCM_SIGNED};
  ErrorCode error = OpenAlsaPcm(&format, MOD_OUTPUT_RATE, &c->output);
  if (error) {
    FreeMemory(staging);
    return error;
  }
  c->output.staging = staging;
  c->output.stagingLength = stagingBytes;
  RenderModuleBlock(c->renderer, reinterpret_cast<int16_t*>(staging), MOD_OUTPUT_RATE);
  c->output.level = volume;
  c->kind = CHANNEL_MODULE;
  c->output.state = CHANNEL_MODULE;
  return ERR_NONE;
}

}  // namespace

void AudioNow(TimeValue* now) {
  if (mediaContext.clock)
    mediaContext.clock(now);
  else
    GetSysTime(now);
}

int64_t MsBetween(const TimeValue& a, const TimeValue& b) {
  return (static_cast<int64_t>(b.seconds) - a.seconds) * 1000 +
         (static_cast<int64_t>(b.micros) - a.micros) / 1000;
}

int Listening(int which) { return mediaContext.listen[which].load(std::memory_order_relaxed); }

void PostChannelEvent(const AudioChannel* c, int32_t kind, int64_t value1, int64_t value2) {
  PostThreadEvent(kind, reinterpret_cast<uintptr_t>(c->owner.autoId),
                  static_cast<uintptr_t>(static_cast<uint32_t>(c->owner.number)),
                  static_cast<uintptr_t>(static_cast<uint32_t>(value1)),
                  static_cast<uintptr_t>(static_cast<uint32_t>(value2)), 1);
}

void ClearChannel(AudioChannel* c) {
  FreeMemory(c->renderer);
  std::memset(c, 0, sizeof *c);
}

int32_t ChannelIndex(const AudioChannel* c) {
  return static_cast<int32_t>(c - mediaContext.channels);
}

void SetAudioClock(AudioClock clock) { mediaContext.clock = clock; }

void LockAudioChannels() {
  if (mediaContext.tableLock) LockMutex(mediaContext.tableLock);
}
void UnlockAudioChannels() {
  if (mediaContext.tableLock) UnlockMutex(mediaContext.tableLock);
}

ErrorCode InitThreadEventList() {
  if (!mediaContext.tableLock) {
    mediaContext.tableLock = AllocMutex();
    if (!mediaContext.tableLock) return ERR_SEMAPHORE;
  }
  OpenThreadEventList();
  SetAudioFeedHooks(&FEED_HOOKS);
  return ERR_NONE;
}

void FreeThreadEventList() {
  StopAudioFeedThread();
  SetAudioFeedHooks(nullptr);
  CloseThreadEventList();
  FreeMutex(mediaContext.tableLock);
  mediaContext.tableLock = nullptr;
}

int IsAudioDeviceOpen() { return mediaContext.outputOpen; }
int32_t GetAudioChannelCount() { return mediaContext.channelCount; }
AudioChannel* GetAudioChannel(int32_t channel) { return recordOf(channel); }

ErrorCode OpenAudioDevice(VmState*, const char* device) {
  if (mediaContext.outputOpen) return ERR_NONE;
  if (device) StrCopyBounded(mediaContext.device, sizeof mediaContext.device, device);
  int32_t count = haveAdapter() ? mediaContext.adapter.channels : mediaContext.channelCount;
  if (count < 0) return ERR_OPENAUDIO;
  auto* table =
      static_cast<AudioChannel*>(AllocMemoryArray(count ? count : 1, sizeof(AudioChannel), 1));
  auto* generations =
      static_cast<uint32_t*>(AllocMemoryArray(count ? count : 1, sizeof(uint32_t), 1));
  if (!table || !generations) {
    FreeMemory(table);
    FreeMemory(generations);
    return ERR_MEM;
  }
  if (haveAdapter()) {
    AudioAdapterRecord& a = mediaContext.adapter;
    a.handle = a.openAudio ? a.openAudio(0, 0) : nullptr;
    if (!a.handle) {
      FreeMemory(table);
      FreeMemory(generations);
      return ERR_OPENAUDIO;
    }
  } else if (ErrorCode error = StartAudioFeedThread()) {
    FreeMemory(table);
    FreeMemory(generations);
    return error;
  }
  LockAudioChannels();
  mediaContext.channels = table;
  mediaContext.generations = generations;
  mediaContext.tableSize = count;
  mediaContext.channelCount = count;
  mediaContext.outputOpen = 1;
  UnlockAudioChannels();
  return ERR_NONE;
}

void CloseAudioDevice() {
  if (!mediaContext.outputOpen) return;
  StopAudioFeedThread();
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++) StopAudioChannel(i);
  AudioAdapterRecord& a = mediaContext.adapter;
  if (haveAdapter() && a.handle) {
    if (a.closeAudio) a.closeAudio(a.handle);
    a.handle = nullptr;
  }
  FreeMemory(mediaContext.channels);
  FreeMemory(mediaContext.generations);
  mediaContext.channels = nullptr;
  mediaContext.generations = nullptr;
  mediaContext.tableSize = 0;
  mediaContext.outputOpen = 0;
  UnlockAudioChannels();
}

void ShutdownAudio(VmState* L) { StopAllChannels(L); }

ErrorCode AllocChannel(VmState* L, int32_t kind, ObjectId owner, int32_t* channel,
                       AudioChannel** record) {
  CheckChannelTimeouts();
  LockAudioChannels();
  int32_t index = *channel;
  if (index == -1) {
    for (index = 0; index < mediaContext.tableSize; index++)
      if (mediaContext.channels[index].kind == CHANNEL_FREE) break;
    if (index >= mediaContext.tableSize) {
      UnlockAudioChannels();
      return ERR_NOCHANNEL;
    }
  } else if (index < 0 || index >= mediaContext.tableSize) {
    UnlockAudioChannels();
    return ERR_CHANNELRANGE;
  } else if (mediaContext.channels[index].kind != CHANNEL_FREE) {
    StopChannel(L, index);
  }
  AudioChannel* c = &mediaContext.channels[index];
  ClearChannel(c);
  c->kind = kind;
  c->owner = owner;
  mediaContext.generations[index]++;
  UnlockAudioChannels();
  *channel = index;
  if (record) *record = c;
  return ERR_NONE;
}

ErrorCode GetChannelState(int32_t channel, int32_t* state, ObjectId* owner, int heldLock) {
  LockAudioChannels();
  AudioChannel* c = recordOf(channel);
  ErrorCode error = ERR_NONE;
  *state = CHANNELSTATE_FREE;
  if (!c) {
    error = ERR_CHANNELRANGE;
  } else {
    switch (c->kind) {
      case CHANNEL_PREPARED:
      case CHANNEL_SAMPLE:
        *state = CHANNELSTATE_SAMPLE;
        break;
      case CHANNEL_MODULE:
      case CHANNEL_STREAM:
      case CHANNEL_MUSICSTARTING:
        *state = CHANNELSTATE_MUSIC;
        break;
      case CHANNEL_VIDEO:
      case CHANNEL_VIDEOSTARTING:
        *state = CHANNELSTATE_VIDEO;
        break;
      default:
        break;
    }
    if (owner) *owner = c->owner;
  }
  if (!heldLock) UnlockAudioChannels();
  return error;
}

int IsSampleOnChannel(const AudioDescriptor* sample) {
  LockAudioChannels();
  int found = 0;
  for (int32_t i = 0; i < mediaContext.tableSize && !found; i++)
    found = mediaContext.channels[i].kind != CHANNEL_ENDED &&
            mediaContext.channels[i].sample == sample && sample;
  UnlockAudioChannels();
  return found;
}

void GetSamplePlayPosition(const AudioDescriptor* sample, int64_t* ms, int32_t* passes) {
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++) {
    AudioChannel* c = &mediaContext.channels[i];
    if (c->kind == CHANNEL_ENDED || !sample || c->sample != sample) continue;
    TimeValue now;
    AudioNow(&now);
    *ms = MsBetween(c->startTime, now);
    *passes = c->loopNumber - 1;
    break;
  }
  UnlockAudioChannels();
}

ErrorCode StartSampleOnChannel(VmState* L, AudioDescriptor* sample, ObjectId owner, int32_t pitch,
                               int32_t volume, int32_t panning, int64_t playTimeMs, int32_t times,
                               int32_t* channel) {
  if (!sample || sample->frames == 0 || pitch <= 0) return ERR_WRONGUSAGE;
  AudioChannel* c = nullptr;
  ErrorCode error = AllocChannel(L, CHANNEL_PREPARED, owner, channel, &c);
  if (error) return error;
  LockAudioChannels();
  c->sample = sample;
  c->loopNumber = 1;
  c->passMs = static_cast<int64_t>(static_cast<double>(sample->frames) / pitch * 1000.0);
  c->firstFeed = 1;
  c->volume = volume;
  if (playTimeMs < 0) {
    c->loopTotal = times;
    c->lastPassFrames = sample->frames;
    c->lastPassMs = c->passMs;
  } else {
    // A pass shorter than a millisecond counts as one, so nothing divides
    // by zero and a play time still ends.
    int64_t pass = c->passMs > 0 ? c->passMs : 1;
    int64_t total = playTimeMs / pass + 1;
    c->loopTotal = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
    c->lastPassMs = playTimeMs % pass;
    c->lastPassFrames = static_cast<uint32_t>(static_cast<int64_t>(pitch) * c->lastPassMs / 1000);
  }
  if (haveAdapter()) {
    c->kind = CHANNEL_SAMPLE;
    c->adapterChannel = allocAdapterChannel(c, sampleFormatOf(sample), pitch, volume);
    if (!c->adapterChannel) {
      error = ERR_ALLOCCHANNEL;
    } else if (panning != PANNING_CENTRE && mediaContext.adapter.setAttributes) {
      // A new adapter channel plays centred; any other panning follows at
      // once, under the table's lock.
      QmAudioTag tags[2] = {{QM_AUDIOATTR_PANNING, panning}, {0, 0}};
      mediaContext.adapter.setAttributes(mediaContext.adapter.handle, c->adapterChannel, tags, 1);
    }
  } else {
    error = prepareAlsaSample(c, sample, pitch, volume);
    if (error) CloseAlsaPcm(&c->output);
  }
  if (error) ClearChannel(c);
  UnlockAudioChannels();
  return error;
}

void StartPreparedSamples() {
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++) {
    AudioChannel* c = &mediaContext.channels[i];
    if (c->kind != CHANNEL_PREPARED) continue;
    c->kind = CHANNEL_SAMPLE;
    if (c->output.pcm) c->output.state = CHANNEL_SAMPLE;
  }
  UnlockAudioChannels();
}

void StopSampleChannel(int32_t channel) {
  LockAudioChannels();
  AudioChannel* c = recordOf(channel);
  if (c) {
    if (haveAdapter())
      freeAdapterChannel(c);
    else
      CloseAlsaPcm(&c->output);
    ClearChannel(c);
  }
  UnlockAudioChannels();
}

void StopSampleChannels(const AudioDescriptor* sample, int32_t channel) {
  LockAudioChannels();
  if (channel >= 0) {
    StopSampleChannel(channel);
  } else {
    for (int32_t i = 0; i < mediaContext.tableSize; i++) {
      AudioChannel* c = &mediaContext.channels[i];
      if (c->kind != CHANNEL_ENDED && sample && c->sample == sample) StopSampleChannel(i);
    }
  }
  UnlockAudioChannels();
}

void StopAudioChannel(int32_t channel) {
  LockAudioChannels();
  AudioChannel* c = recordOf(channel);
  if (c && c->kind != CHANNEL_FREE) {
    if (c->streaming || c->kind == CHANNEL_STREAM) {
      freeAdapterChannel(c);
      CloseAlsaPcm(&c->output);
      StopChannelStream(c, 0, nullptr, nullptr);
      ClearChannel(c);
    } else {
      StopSampleChannel(channel);
    }
  }
  UnlockAudioChannels();
}

void StopAllChannels(VmState* L) {
  if (!mediaContext.outputOpen) return;
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++)
    if (mediaContext.channels[i].kind != CHANNEL_FREE) StopChannel(L, i);
  UnlockAudioChannels();
  CheckChannelTimeouts();
}

void ApplyChannelAttributes(int32_t channel, int32_t pitch, int32_t volume, int32_t panning) {
  LockAudioChannels();
  AudioChannel* c = recordOf(channel);
  if (c && haveAdapter()) {
    QmAudioTag tags[4];
    int32_t n = 0;
    if (volume != -1) tags[n++] = {QM_AUDIOATTR_VOLUME, volume};
    if (panning != -1) tags[n++] = {QM_AUDIOATTR_PANNING, panning};
    if (pitch != -1) tags[n++] = {QM_AUDIOATTR_PITCH, pitch};
    tags[n] = {0, 0};
    AudioAdapterRecord& a = mediaContext.adapter;
    if (n && c->adapterChannel && a.setAttributes)
      a.setAttributes(a.handle, c->adapterChannel, tags, n);
  } else if (c && volume != -1) {
    c->output.level = volume;
  }
  if (c && volume != -1) c->volume = volume;
  UnlockAudioChannels();
}

void CheckChannelTimeouts() {
  if (!mediaContext.outputOpen) return;
  if (!haveAdapter()) {
    ReleaseAudioChannels();
    return;
  }
  LockAudioChannels();
  TimeValue now;
  AudioNow(&now);
  for (int32_t i = 0; i < mediaContext.tableSize; i++) {
    AudioChannel* c = &mediaContext.channels[i];
    if (!c->timedEnd || CmpTime(&c->endTime, &now) >= 0) continue;
    if (c->kind == CHANNEL_STREAM) {
      ForgetCurrentModule(c->music);
      freeAdapterChannel(c);
      StopChannelStream(c, 0, nullptr, nullptr);
    } else {
      freeAdapterChannel(c);
    }
    ClearChannel(c);
  }
  UnlockAudioChannels();
}

void SetSoundEventFlag(const char* name, int flag) {
  static const char* const NAMES[] = {"onsampleloop", "onsampleend", "onmusicend", "onvideoend"};
  for (int i = 0; i < 4; i++)
    if (std::strcmp(name, NAMES[i]) == 0) mediaContext.listen[i].store(flag ? 1 : 0);
}

int SetSoundOption(VmState*, uint32_t code, uintptr_t value) {
  switch (code) {
    case SOUND_OPTION_NOSOUND:
      mediaContext.noSound = value ? 1 : 0;
      return 1;
    case SOUND_OPTION_DEVICE:
      // The setting is kept as given; every PCM still opens "default".
      mediaContext.deviceSetting = value;
      return 1;
    case SOUND_OPTION_SAMPLELOOP:
      SetSoundEventFlag("onsampleloop", value != 0);
      return 1;
    case SOUND_OPTION_SAMPLEEND:
      SetSoundEventFlag("onsampleend", value != 0);
      return 1;
    case SOUND_OPTION_MUSICEND:
      SetSoundEventFlag("onmusicend", value != 0);
      return 1;
    case SOUND_OPTION_VIDEOEND:
      SetSoundEventFlag("onvideoend", value != 0);
      return 1;
    case SOUND_OPTION_FORCESOUND:
      mediaContext.forceSound = value ? 1 : 0;
      return 1;
    default:
      return 0;
  }
}

ErrorCode PlayStreamOnChannel(VmState* L, int32_t what, void* source, ObjectId owner, int32_t times,
                              int32_t loopNumber, int32_t volume, int32_t* channel, void* music) {
  if (!source || (what != 1 && what != 2)) return ERR_WRONGUSAGE;
  AudioChannel* c = nullptr;
  ErrorCode error = AllocChannel(L, CHANNEL_MUSICSTARTING, owner, channel, &c);
  if (error) return error;
  LockAudioChannels();
  c->volume = volume;
  c->music = music;
  if (what == 2) {
    c->module = static_cast<ModPlayer*>(source);
    if (haveAdapter()) {
      c->kind = CHANNEL_MODULE;
      c->adapterChannel = allocAdapterChannel(c, SAMPLE_S16_STEREO, MOD_OUTPUT_RATE, volume);
      if (!c->adapterChannel) error = ERR_ALLOCCHANNEL;
    } else {
      error = openAlsaModule(c, volume);
      if (error) CloseAlsaPcm(&c->output);
    }
  } else {
    c->stream = static_cast<SoundStream*>(source);
    c->loopTotal = times;
    c->loopNumber = loopNumber > 0 ? loopNumber : 1;
    c->firstFeed = 1;
    error = StartChannelStream(c);
  }
  if (error) ClearChannel(c);
  UnlockAudioChannels();
  return error;
}

ErrorCode StopMusicPlayback(int32_t what, void* source, int pause, int32_t* pass,
                            uint32_t* position) {
  LockAudioChannels();
  for (int32_t i = 0; i < mediaContext.tableSize; i++) {
    AudioChannel* c = &mediaContext.channels[i];
    if (c->kind == CHANNEL_ENDED || c->kind == CHANNEL_FREE) continue;
    if (what == 1 && c->stream == source && source) {
      freeAdapterChannel(c);
      CloseAlsaPcm(&c->output);
      StopChannelStream(c, pause, pass, position);
      ClearChannel(c);
      break;
    }
    if (what == 2 && c->module == source && source) {
      freeAdapterChannel(c);
      CloseAlsaPcm(&c->output);
      ClearChannel(c);
      if (!pause) {
        auto* player = static_cast<ModPlayer*>(source);
        size_t size = 0;
        uint8_t* image = ModGetImage(player, &size);
        ModInit(player, image, size, MOD_OUTPUT_RATE);
      }
      break;
    }
  }
  UnlockAudioChannels();
  return ERR_NONE;
}

// ---- Video sound ----

constexpr size_t VIDEO_SOUND_BYTES = 384000;

struct VideoSound {
  std::mutex lock;
  uint8_t* data = nullptr;
  size_t filled = 0;
  int32_t bytesPerFrame = 2;
  int32_t channel = -1;
  void* video = nullptr;
};

namespace {

// Hands out frames of the video's sound; silence where it has none yet.
uint32_t takeVideoSound(VideoSound* s, uint8_t* out, uint32_t frames) {
  const size_t wanted = static_cast<size_t>(frames) * static_cast<size_t>(s->bytesPerFrame);
  std::lock_guard<std::mutex> guard(s->lock);
  size_t n = std::min(wanted, s->filled);
  n -= n % static_cast<size_t>(s->bytesPerFrame);
  std::memcpy(out, s->data, n);
  std::memmove(s->data, s->data + n, s->filled - n);
  s->filled -= n;
  std::memset(out + n, 0, wanted - n);
  return frames;
}

}  // namespace

ErrorCode AllocVideoSoundChannel(VmState* L, ObjectId owner, void* video, int32_t channels,
                                 int32_t rate, int32_t volume, int32_t* channel, VideoSound** out) {
  *out = nullptr;
  auto* s = new (std::nothrow) VideoSound();
  if (!s) return ERR_MEM;
  s->data = static_cast<uint8_t*>(AllocMemory(VIDEO_SOUND_BYTES, 0));
  if (!s->data) {
    delete s;
    return ERR_MEM;
  }
  s->bytesPerFrame = channels == 2 ? 4 : 2;
  s->video = video;
  AudioChannel* c = nullptr;
  ErrorCode error = AllocChannel(L, CHANNEL_VIDEOSTARTING, owner, channel, &c);
  if (!error) {
    LockAudioChannels();
    c->volume = volume;
    c->videoSound = s;
    if (haveAdapter()) {
      c->adapterChannel =
          allocAdapterChannel(c, channels == 2 ? SAMPLE_S16_STEREO : SAMPLE_S16_MONO, rate, volume);
      if (!c->adapterChannel) error = ERR_ALLOCCHANNEL;
    } else {
      PcmFormat format = {16, s->bytesPerFrame, channels == 2 ? 2 : 1, PCM_SIGNED};
      error = OpenAlsaPcm(&format, rate, &c->output);
      if (!error) {
        c->output.level = volume;
        c->output.sampleFormat = channels == 2 ? SAMPLE_S16_STEREO : SAMPLE_S16_MONO;
        c->output.bytesPerFrame = s->bytesPerFrame;
        c->output.state = CHANNEL_VIDEO;
      } else {
        CloseAlsaPcm(&c->output);
      }
    }
    if (error) {
      ClearChannel(c);
    } else {
      c->kind = CHANNEL_VIDEO;
      s->channel = *channel;
    }
    UnlockAudioChannels();
  }
  if (error) {
    FreeMemory(s->data);
    delete s;
    return error;
  }
  *out = s;
  return ERR_NONE;
}

int32_t FeedVideoSound(VideoSound* s, const uint8_t* data, int32_t bytes) {
  if (!s || bytes <= 0) return 0;
  std::lock_guard<std::mutex> guard(s->lock);
  const size_t n = std::min(static_cast<size_t>(bytes), VIDEO_SOUND_BYTES - s->filled);
  std::memcpy(s->data + s->filled, data, n);
  s->filled += n;
  return static_cast<int32_t>(n);
}

void FreeVideoSound(VideoSound* s) {
  if (!s) return;
  LockAudioChannels();
  AudioChannel* c = recordOf(s->channel);
  if (c && c->videoSound == s) {
    freeAdapterChannel(c);
    CloseAlsaPcm(&c->output);
    ClearChannel(c);
  }
  UnlockAudioChannels();
  FreeMemory(s->data);
  delete s;
}

void SetVideoSoundVolume(VideoSound* s, int32_t volume) {
  if (!s) return;
  LockAudioChannels();
  AudioChannel* c = recordOf(s->channel);
  if (c && c->videoSound == s) ApplyChannelAttributes(s->channel, -1, volume, -1);
  UnlockAudioChannels();
}

void* VideoOfChannel(const AudioChannel* c) {
  if (!c || (c->kind != CHANNEL_VIDEO && c->kind != CHANNEL_VIDEOSTARTING) || !c->videoSound)
    return nullptr;
  return static_cast<VideoSound*>(c->videoSound)->video;
}

uint32_t TakeVideoSoundFrames(AudioChannel* c, uint8_t* out, uint32_t frames) {
  auto* s = static_cast<VideoSound*>(c->videoSound);
  return s ? takeVideoSound(s, out, frames) : 0;
}

uint32_t PeekVideoSoundFrames(AudioChannel* c, uint8_t* out, uint32_t frames) {
  auto* s = static_cast<VideoSound*>(c->videoSound);
  if (!s || c->kind != CHANNEL_VIDEO) return 0;
  std::lock_guard<std::mutex> guard(s->lock);
  const size_t bpf = static_cast<size_t>(s->bytesPerFrame);
  const size_t n = std::min(static_cast<size_t>(frames), s->filled / bpf);
  std::memcpy(out, s->data, n * bpf);
  return static_cast<uint32_t>(n);
}

void DropVideoSoundFrames(AudioChannel* c, uint32_t frames) {
  auto* s = static_cast<VideoSound*>(c->videoSound);
  if (!s) return;
  std::lock_guard<std::mutex> guard(s->lock);
  const size_t n =
      std::min(static_cast<size_t>(frames) * static_cast<size_t>(s->bytesPerFrame), s->filled);
  std::memmove(s->data, s->data + n, s->filled - n);
  s->filled -= n;
}

uint32_t AudioAdapterFeed(void*, void*, void* buffer, uint32_t frames, void* hostChannel) {
  auto* c = static_cast<AudioChannel*>(hostChannel);
  auto* out = static_cast<uint8_t*>(buffer);
  if (!c || !out) return 0;
  switch (c->kind) {
    case CHANNEL_MODULE:
      RenderModuleBlock(c->module, reinterpret_cast<int16_t*>(out), frames);
      return frames;
    case CHANNEL_SAMPLE: {
      const AudioDescriptor* s = c->sample;
      const int32_t bpf = s->bytesPerFrame;
      uint32_t done = 0;
      // Pass 1's notice goes before those of passes that this call
      // begins, so the notices arrive in the order the passes do.
      if (c->firstFeed) {
        AudioNow(&c->startTime);
        c->firstFeed = 0;
        if (Listening(LISTEN_SAMPLELOOP)) PostChannelEvent(c, THREAD_EVENT_SAMPLE_LOOP, 0, 1);
      }
      while (done < frames && !c->timedEnd) {
        uint32_t n = std::min(frames - done, s->frames - c->framePosition);
        std::memcpy(out + static_cast<size_t>(done) * bpf,
                    s->data + static_cast<size_t>(c->framePosition) * bpf,
                    static_cast<size_t>(n) * bpf);
        done += n;
        c->framePosition += n;
        if (c->framePosition < s->frames) break;
        if (c->loopTotal != 0 && c->loopNumber >= c->loopTotal) {
          if (Listening(LISTEN_SAMPLEEND))
            PostChannelEvent(c, THREAD_EVENT_SAMPLE_END,
                             static_cast<int64_t>(c->loopNumber - 1) * c->passMs + c->lastPassMs,
                             c->loopNumber);
          endLater(c);
          break;
        }
        c->framePosition = 0;
        c->loopNumber++;
        if (Listening(LISTEN_SAMPLELOOP))
          PostChannelEvent(c, THREAD_EVENT_SAMPLE_LOOP,
                           static_cast<int64_t>(c->loopNumber - 1) * c->passMs, c->loopNumber);
      }
      return done;
    }
    case CHANNEL_STREAM:
      return FeedStreamChannel(c, out, frames);
    case CHANNEL_VIDEO:
      return TakeVideoSoundFrames(c, out, frames);
    default:
      return frames;
  }
}

ErrorCode InstallAudioAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags) {
  if (!base) return ERR_WRONGUSAGE;
  if (GetAppletVersion() < ADAPTER_MIN_APPLET_VERSION) return ERR_OLDAPPLET;
  if (!(base->capabilities & PLUGINCAPS_AUDIOADAPTER)) return ERR_WRONGUSAGE;
  AudioAdapterRecord& a = mediaContext.adapter;
  if ((flags & QM_AUDIOADAPTER_TAGSONLY) && a.base == base) {
    for (const QmTagItem* t = tags; t && t->tag; t++)
      if (t->tag == QM_AUDIOTAG_BUFFERSIZE) a.bufferSize = t->data;
    return ERR_NONE;
  }
  if (!GetDeferBitmapsFlag() || mediaContext.outputOpen) return ERR_SETADAPTER;
  if (a.base && (a.flags & QM_AUDIOADAPTER_LOCKED)) return ERR_SETADAPTER;
  AudioAdapterRecord next = {};
  next.base = base;
  next.flags = flags;
  next.bufferSize = AUDIO_DEFAULT_BUFFER;
  next.channels = mediaContext.channelCount;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (t->tag == QM_AUDIOTAG_BUFFERSIZE) next.bufferSize = t->data;
    if (t->tag == QM_AUDIOTAG_CHANNELS) next.channels = static_cast<int32_t>(t->data);
  }
  if (next.channels == 0) {
    a = AudioAdapterRecord{};
    return ERR_SETADAPTER;
  }
  if (base->kind != PLUGIN_KIND_BRIDGED) {
    next.openAudio = reinterpret_cast<QmOpenAudioFunc>(GetPluginEntry(base, "OpenAudio"));
    next.closeAudio = reinterpret_cast<QmCloseAudioFunc>(GetPluginEntry(base, "CloseAudio"));
    next.allocChannel =
        reinterpret_cast<QmAllocAudioChannelFunc>(GetPluginEntry(base, "AllocAudioChannel"));
    next.freeChannel =
        reinterpret_cast<QmFreeAudioChannelFunc>(GetPluginEntry(base, "FreeAudioChannel"));
    next.setAttributes =
        reinterpret_cast<QmSetChannelAttributesFunc>(GetPluginEntry(base, "SetChannelAttributes"));
  }
  a = next;
  return ERR_NONE;
}

PluginBase* GetAudioAdapter() { return mediaContext.adapter.base; }
uintptr_t GetAudioAdapterBufferSize() { return mediaContext.adapter.bufferSize; }

void InitMediaContext() {
  InstallImageFileWriters();
  mediaContext.channelCount = AUDIO_DEFAULT_CHANNELS;
  mediaContext.adapter = AudioAdapterRecord{};
  for (auto& flag : mediaContext.listen) flag.store(0);
  mediaContext.noSound = mediaContext.forceSound = 0;
  mediaContext.device[0] = '\0';
  mediaContext.deviceSetting = 0;
  InitAnimContext();
}

void FreeMediaContext() {
  FreeAnimContext();
  CloseAudioDevice();
  FreeThreadEventList();
  InitMediaContext();
}
