// Music objects and the music commands: opening streamed files, plug-in
// streams and Protracker modules, playing, pausing, resuming, seeking,
// stopping and closing them, their volume, the module positions and
// subsongs. By default one music plays at a time: starting one stops the
// current music. Invariant: the current music is playing or null; the
// last paused music is paused or null.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "display/display.h"
#include "media/media_private.h"
#include "media/sound_private.h"
#include "plugins/plugins.h"

namespace {

constexpr int32_t LOADING_MUSIC_TEXT = 750;  // "Loading music %s"
constexpr int32_t WAIT_STEP_MS = 10;
constexpr int32_t POLL_CLIENT_AUDIO = 0;

bool present(VmState* L, int index) {
  return VmType(L, index) != VM_TYPE_NONE && VmType(L, index) != VM_TYPE_NIL;
}

void unlinkMusic(MusicObject* m) {
  for (ObjectHead** p = &soundContext.music; *p; p = &(*p)->next)
    if (*p == &m->head) {
      *p = m->head.next;
      m->head.next = nullptr;
      return;
    }
}

ObjectId idOf(const MusicObject* m) { return ObjectId{m->head.autoId, m->head.number}; }

void destroyMusic(VmState* L, MusicObject* m) {
  FreeObjectDataList(L, &m->head.data);
  if (m->source) CloseMusicStream(m->what, m->source);
  FreeMemory(m->fileName);
  FreeMemory(m);
}

bool otherScriptFedPlaying(const MusicObject* except) {
  for (ObjectHead* h = soundContext.music; h; h = h->next) {
    auto* m = reinterpret_cast<MusicObject*>(h);
    if (m != except && m->scriptFed && m->state == MUSIC_PLAYING) return true;
  }
  return false;
}

void releasePollIfIdle(VmState* L, const MusicObject* m) {
  if (m->scriptFed && soundContext.pollHeld && !otherScriptFedPlaying(m)) {
    ReleasePollTimer(L, POLL_CLIENT_AUDIO);
    soundContext.pollHeld = 0;
  }
}

// The music's state after its channel went away by itself.
void markStopped(MusicObject* m) {
  m->state = MUSIC_STOPPED;
  m->pass = 1;
  m->position = 0;
  m->channel = 0;
  if (soundContext.current == m) soundContext.current = nullptr;
  if (soundContext.lastPaused == m) soundContext.lastPaused = nullptr;
}

// Starts the music on a channel (step 4 of PlayMusic).
ErrorCode startMusic(VmState* L, MusicObject* m) {
  int32_t channel = VmIndexFromOne(m->channel);
  ErrorCode error = PlayStreamOnChannel(L, m->what, m->source, idOf(m), m->times, m->pass,
                                        m->volume, &channel, m);
  if (error) return error;
  soundContext.current = m;
  soundContext.lastPaused = nullptr;
  m->state = MUSIC_PLAYING;
  if (m->scriptFed && !soundContext.pollHeld) {
    if (ErrorCode e = AcquirePollTimer(L, POLL_CLIENT_AUDIO)) return e;
    soundContext.pollHeld = 1;
  }
  return ERR_NONE;
}

// Stops the current music before another starts: one music plays at a
// time unless an applet of version 6 or later switched "singlemusic" off.
ErrorCode stopCurrentFor(VmState* L, MusicObject* m) {
  if (!GetLegacySwitch(LEGACY_SINGLEMUSIC) && GetAppletVersion() >= 6) return ERR_NONE;
  MusicObject* current = soundContext.current;
  if (current && current != m && current->state == MUSIC_PLAYING)
    return StopMusicObject(L, current, 0);
  return ERR_NONE;
}

ErrorCode musicArg(VmState* L, int index, MusicObject** out) {
  return FindMusic(GetObjectIdArg(L, index, nullptr), out);
}

// Frees an existing music of that number before a new one takes it.
void freeMusicNumber(VmState* L, ObjectId id) {
  MusicObject* old = nullptr;
  if (FindMusic(id, &old) != ERR_NONE) {
    SetErrorArgNumber(0);
    return;
  }
  if (old->state != MUSIC_STOPPED) StopMusicObject(L, old, 0);
  unlinkMusic(old);
  if (old->busy > 0)
    old->freePending = 1;
  else
    destroyMusic(L, old);
}

MusicObject* newMusic(ObjectId* id, int automatic) {
  auto* m = static_cast<MusicObject*>(AllocMemory(sizeof(MusicObject), 1));
  if (!m) return nullptr;
  m->head.type = OBJTYPE_MUSIC;
  if (automatic) {
    m->head.autoId = m;
    *id = ObjectId{m, 0};
  } else {
    m->head.number = id->number;
  }
  m->volume = 64;
  m->times = 1;
  m->pass = 1;
  m->subsongs = 1;
  m->currentSubsong = 1;
  return m;
}

void appendMusic(MusicObject* m) {
  ObjectHead** p = &soundContext.music;
  while (*p) p = &(*p)->next;
  *p = &m->head;
}

struct LoaderText {
  char loader[MUSIC_ADAPTER_SIZE] = "";
  char adapter[MUSIC_ADAPTER_SIZE] = "";
};

void readLoaderText(VmState* L, int index, LoaderText* o) {
  if (!present(L, index)) return;
  VmCheckTable(L, index);
  int found = 0;
  GetTableFieldString(L, index, "loader", o->loader, sizeof o->loader, &found);
  GetTableFieldString(L, index, "adapter", o->adapter, sizeof o->adapter, &found);
}

int cmdOpenMusic(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* file = VmCheckString(L, 2, nullptr);
  LoaderText o;
  readLoaderText(L, 3, &o);
  int skip = 0;
  if (ErrorCode e = EnsureSoundOutput(L, &skip)) return e;
  if (skip) return 0;
  if (!automatic) freeMusicNumber(L, id);
  PrintProgress(GetBuiltinString(LOADING_MUSIC_TEXT), file, 0);
  size_t nameSize = std::strlen(file) + 1;
  OwnedMemory<char> name(static_cast<char*>(AllocMemory(nameSize, 0)));
  if (!name) return ERR_MEM;
  std::memcpy(name.get(), file, nameSize);
  int32_t what = 0, seekable = 0, subsongs = 1;
  void* source = nullptr;
  PluginBase* plugin = nullptr;
  ErrorCode e =
      OpenMusicStream(file, o.loader[0] ? o.loader : nullptr, o.adapter[0] ? o.adapter : nullptr, 0,
                      &what, &source, &seekable, &subsongs, &plugin);
  if (e) return e;
  MusicObject* m = newMusic(&id, automatic);
  if (!m) {
    CloseMusicStream(what, source);
    return ERR_MEM;
  }
  m->fileName = name.release();
  m->source = source;
  m->what = what;
  m->seekable = what == 1 ? seekable : 0;
  m->subsongs = subsongs > 0 ? subsongs : 1;
  m->plugin = plugin;
  StrCopyBounded(m->adapter, sizeof m->adapter, o.adapter);
  appendMusic(m);
  PrintDone();
  return automatic ? PushObjectId(L, id) : 0;
}

// The options of PlayMusic (and of PlaySubsong's start) at index.
void readPlayOptions(VmState* L, int index, MusicObject* m) {
  m->times = 1;
  if (!present(L, index)) return;
  if (VmType(L, index) == VM_TYPE_TABLE) {
    int found = 0;
    double volume = 0;
    if (GetTableFieldNumber(L, index, "volume", &volume, &found))
      m->volume = std::clamp(VmTruncInt32(volume), 0, 64);
    GetTableFieldInt(L, index, "times", &m->times, &found);
    GetTableFieldInt(L, index, "channel", &m->channel, &found);
  } else {
    m->times = VmCheckInteger(L, index);
  }
}

ErrorCode playMusic(VmState* L, MusicObject* m, int options) {
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  CheckChannelTimeouts();
  // The music's own state first: a playing music would otherwise be
  // stopped as the current one and never report that it plays.
  if (m->state == MUSIC_PLAYING) return ERR_MUSPLAYING;
  if (m->state == MUSIC_PAUSED) return ERR_MUSPAUSED;
  if (ErrorCode e = stopCurrentFor(L, m)) return e;
  readPlayOptions(L, options, m);
  return startMusic(L, m);
}

int cmdPlayMusic(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  return playMusic(L, m, 2);
}

// StopMusic and PauseMusic: the given music or the current one.
int stopOrPause(VmState* L, int pause) {
  CheckArgCount(L, 0, 1, 0, 0);
  int given = present(L, 1);
  ObjectId id = given ? GetObjectIdArg(L, 1, nullptr) : ObjectId{};
  if (SoundDisabled()) return 0;
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  CheckChannelTimeouts();
  MusicObject* m = soundContext.current;
  if (given) {
    if (ErrorCode e = FindMusic(id, &m)) return e;
  } else if (!m) {
    return ERR_WRONGUSAGE;
  }
  if (m->state != MUSIC_PLAYING && (pause || m->state == MUSIC_STOPPED)) return 0;
  return StopMusicObject(L, m, pause);
}

int cmdStopMusic(VmState* L) { return stopOrPause(L, 0); }
int cmdPauseMusic(VmState* L) { return stopOrPause(L, 1); }

int cmdResumeMusic(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int given = present(L, 1);
  ObjectId id = given ? GetObjectIdArg(L, 1, nullptr) : ObjectId{};
  if (SoundDisabled()) return 0;
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  MusicObject* m = soundContext.lastPaused;
  if (given) {
    if (ErrorCode e = FindMusic(id, &m)) return e;
  } else if (!m) {
    return ERR_WRONGUSAGE;
  }
  if (m->state != MUSIC_PAUSED) return ERR_MUSNOTPAUSED;
  if (ErrorCode e = stopCurrentFor(L, m)) return e;
  return startMusic(L, m);
}

int cmdSeekMusic(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  double ms = VmCheckNumber(L, 2);
  if (SoundDisabled()) return 0;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  if (!m->seekable || m->what != 1) return ERR_SEEKFORMAT;
  int64_t length = GetStreamInfo(0, m->what, m->source);
  if (!(ms >= 0 && ms < static_cast<double>(length))) return ERR_SEEKRANGE;
  auto* stream = static_cast<SoundStream*>(m->source);
  if (m->state != MUSIC_PLAYING) {
    SeekSoundStreamMs(stream, static_cast<int64_t>(ms));
    return 0;
  }
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  if (ErrorCode e = StopMusicObject(L, m, 1)) return e;
  SeekSoundStreamMs(stream, static_cast<int64_t>(ms));
  return startMusic(L, m);
}

// The channel that plays the music, -1 when none.
int32_t channelOfMusic(const MusicObject* m) {
  int32_t found = -1;
  LockAudioChannels();
  for (int32_t i = 0; found < 0; i++) {
    AudioChannel* c = GetAudioChannel(i);
    if (!c) break;
    if (c->kind != CHANNEL_FREE && c->kind != CHANNEL_ENDED && c->music == m) found = i;
  }
  UnlockAudioChannels();
  return found;
}

int cmdSetMusicVolume(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t volume = CheckVolumeArg(L, 2);
  if (SoundDisabled()) return 0;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  m->volume = volume;
  int32_t channel = channelOfMusic(m);
  if (channel >= 0) ApplyChannelAttributes(channel, -1, volume, -1);
  return 0;
}

int cmdIsMusicPlaying(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  MusicObject* m = nullptr;
  if (ErrorCode e = musicArg(L, 1, &m)) return e;
  CheckChannelTimeouts();
  VmPushNumber(L, m->state == MUSIC_PLAYING ? 1 : 0);
  return 1;
}

int cmdIsMusic(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* file = VmCheckString(L, 1, nullptr);
  LoaderText o;
  readLoaderText(L, 2, &o);
  const char* name = nullptr;
  int ok = GetSoundFormatName(file, o.loader[0] ? o.loader : nullptr,
                              o.adapter[0] ? o.adapter : nullptr, &name);
  VmPushNumber(L, ok ? 1 : 0);
  VmPushString(L, name ? name : "Unknown");
  return 2;
}

int cmdCloseMusic(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  if (m->scriptFed && m->state == MUSIC_PLAYING && soundContext.inFillHandler)
    return ERR_NOCALLBACK;
  freeMusicNumber(L, id);
  return 0;
}

// The module's song position (what 2) or pattern row (what 1), -1 while
// no module plays.
int32_t modulePosition(int32_t what) {
  MusicObject* m = soundContext.current;
  if (!m || m->what != 2 || m->state != MUSIC_PLAYING) return -1;
  return ModulePositionControl(what, static_cast<ModPlayer*>(m->source), 0);
}

int cmdGetSongPosition(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, modulePosition(2));
  return 1;
}

int cmdGetPatternPosition(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, modulePosition(1));
  return 1;
}

// A hold of a music for a wait, dropped on every way out.
struct MusicHold {
  VmState* L;
  MusicObject* m;
  MusicHold(VmState* state, MusicObject* music) : L(state), m(music) { m->busy++; }
  ~MusicHold() { ReleaseMusicHold(L, m); }
  MusicHold(const MusicHold&) = delete;
  MusicHold& operator=(const MusicHold&) = delete;
};

// Waits until the current module reaches the target. The wait also ends
// when the module stops playing (or is closed): a song that ends short of
// the target would otherwise keep it waiting for ever.
int waitPosition(VmState* L, int32_t what) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t target = VmCheckInteger(L, 1);
  MusicObject* m = soundContext.current;
  if (!m) return 0;
  MusicHold hold(L, m);
  for (;;) {
    ErrorCode pollError = ERR_NONE;
    if (RunEventPoll(L, 1, 0, &pollError)) return pollError ? pollError : ERR_USERABORT;
    CheckChannelTimeouts();
    if (m->freePending || m->state != MUSIC_PLAYING || m->what != 2) return 0;
    if (ModulePositionControl(what, static_cast<ModPlayer*>(m->source), 0) >= target) return 0;
    Delay(WAIT_STEP_MS);
  }
}

int cmdWaitSongPosition(VmState* L) { return waitPosition(L, 2); }
int cmdWaitPatternPosition(VmState* L) { return waitPosition(L, 1); }

int cmdPlaySubsong(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  int32_t subsong = VmCheckInteger(L, 1);
  int given = present(L, 2);
  ObjectId id = given ? GetObjectIdArg(L, 2, nullptr) : ObjectId{};
  if (SoundDisabled()) return 0;
  MusicObject* m = soundContext.current;
  if (given) {
    if (ErrorCode e = FindMusic(id, &m)) return e;
  } else if (!m) {
    return ERR_WRONGUSAGE;
  }
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  if (m->what == 2) {
    ModulePositionControl(0, static_cast<ModPlayer*>(m->source), subsong);
  } else {
    if (subsong < 1 || subsong > m->subsongs || !m->fileName) return ERR_WRONGUSAGE;
    if (subsong == m->currentSubsong) {
      if (m->state != MUSIC_STOPPED)
        if (ErrorCode e = StopMusicObject(L, m, 0)) return e;
    } else {
      int32_t what = 0, seekable = 0, subsongs = 0;
      void* source = nullptr;
      PluginBase* plugin = nullptr;
      const char* loader = m->plugin ? m->plugin->moduleName : nullptr;
      ErrorCode e =
          OpenMusicStream(m->fileName, loader, m->adapter[0] ? m->adapter : nullptr,
                          VmIndexFromOne(subsong), &what, &source, &seekable, &subsongs, &plugin);
      if (e) return e;
      if (m->state != MUSIC_STOPPED) StopMusicObject(L, m, 0);
      CloseMusicStream(m->what, m->source);
      m->source = source;
      m->what = what;
      m->seekable = what == 1 ? seekable : 0;
      m->plugin = plugin ? plugin : m->plugin;
      m->pass = 1;
      m->position = 0;
      m->currentSubsong = subsong;
    }
  }
  if (m->state == MUSIC_PLAYING) return 0;
  if (m->state == MUSIC_PAUSED) return ERR_MUSPAUSED;
  if (ErrorCode e = stopCurrentFor(L, m)) return e;
  readPlayOptions(L, 3, m);
  return startMusic(L, m);
}

int cmdCreateMusic(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t rate = VmCheckInteger(L, 2);
  int32_t format = VmCheckInteger(L, 3);
  if (SoundDisabled()) return 0;
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  if (!HasFillMusicBufferHandler()) return ERR_NOFMBHANDLER;
  int32_t code = ScriptFormatToCode(format);
  if (code < 0) return ERR_WRONGUSAGE;
  if (rate < 256) return ERR_LOWFREQ;
  int skip = 0;
  if (ErrorCode e = EnsureSoundOutput(L, &skip)) return e;
  if (skip) return 0;
  if (!automatic) freeMusicNumber(L, id);
  int32_t what = 0;
  void* source = nullptr;
  if (ErrorCode e = CreateMusicStream(L, rate, code, &what, &source)) return e;
  MusicObject* m = newMusic(&id, automatic);
  if (!m) {
    CloseMusicStream(what, source);
    return ERR_MEM;
  }
  m->source = source;
  m->what = what;
  m->scriptFed = 1;
  appendMusic(m);
  // The queue is primed with two seconds before anything plays.
  if (ErrorCode e = CallFillMusicBufferHandler(L, idOf(m), 0, rate * 2)) return e;
  return automatic ? PushObjectId(L, id) : 0;
}

// Frames still queued in a script-fed stream.
uint32_t queuedFrames(SoundStream* s) {
  uint64_t left = 0;
  LockMutex(s->queueLock);
  for (QueuedSoundBuffer* b = s->queueHead; b; b = b->next)
    if (!b->done) left += b->frames - b->position;
  UnlockMutex(s->queueLock);
  return left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(left);
}

// Drops the buffers the decoder has used up from the front of the queue.
void dropConsumed(SoundStream* s) {
  LockMutex(s->queueLock);
  while (s->queueHead && s->queueHead->done && s->queueHead->frames > 0) {
    QueuedSoundBuffer* b = s->queueHead;
    s->queueHead = b->next;
    if (!s->queueHead) s->queueTail = nullptr;
    FreeMemory(b);
  }
  UnlockMutex(s->queueLock);
}

int cmdFillMusicBuffer(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  const char* type = VmCheckString(L, 2, nullptr);
  double framesArg = VmCheckNumber(L, 3);
  int table = 0;
  if (present(L, 4)) {
    VmCheckTable(L, 4);
    table = 4;
  }
  if (!soundContext.inFillHandler) return ERR_NOMUSICCB;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  if (!m->scriptFed) return ERR_WRONGUSAGE;
  auto* s = static_cast<SoundStream*>(m->source);
  if (CompareNoCase(type, "end") == 0) {
    dropConsumed(s);
    return QueueMusicFrames(s, nullptr, 0);
  }
  if (!(framesArg >= 1 && framesArg <= 0x7FFFFFFF)) return ERR_WRONGUSAGE;
  auto frames = static_cast<uint32_t>(framesArg);
  const int32_t code = s->queueFormat.formatCode;  // script code 2..5
  const int32_t bits = code >= 4 ? 16 : 8;
  const int32_t channels = (code == 3 || code == 5) ? 2 : 1;
  const size_t bpf = static_cast<size_t>(bits / 8 * channels);
  OwnedMemory<uint8_t> out(static_cast<uint8_t*>(AllocMemoryArray(frames, bpf, 0)));
  if (!out) return ERR_MEM;
  // The sample frames to convert from, in a source format code.
  OwnedMemory<uint8_t> data;
  ConvertSource source = {};
  SampleObject* sample = nullptr;
  int freeSample = 0;
  ObjectId sampleId = {};
  if (CompareNoCase(type, "pcm") == 0 || CompareNoCase(type, "mute") == 0) {
    bool pcm = CompareNoCase(type, "pcm") == 0;
    size_t values = 0;
    if (pcm) {
      if (!table) return ERR_WRONGUSAGE;
      VmPushString(L, "data");
      VmGetTable(L, table);
      if (VmType(L, -1) != VM_TYPE_TABLE) return ERR_WRONGUSAGE;
      int dataIndex = VmGetTop(L);
      size_t limit = static_cast<size_t>(frames) * static_cast<size_t>(channels);
      data.reset(static_cast<uint8_t*>(AllocMemoryArray(limit, static_cast<size_t>(bits / 8), 1)));
      if (!data) return ERR_MEM;
      for (; values < limit; values++) {
        VmRawGetI(L, dataIndex, static_cast<int>(values));
        bool number = VmType(L, -1) == VM_TYPE_NUMBER;
        // Truncated toward zero; the low 8 or 16 bits are kept (taken from
        // the value modulo 65536, so any size converts; not a number is 0).
        double x = number ? std::fmod(std::trunc(VmToNumber(L, -1)), 65536.0) : 0;
        auto v = std::isnan(x) ? int64_t{0} : static_cast<int64_t>(x);
        VmSetTop(L, -2);
        if (!number) break;
        if (bits == 16) {
          auto w = static_cast<uint16_t>(v);
          std::memcpy(data.get() + 2 * values, &w, 2);
        } else {
          data.get()[values] = static_cast<uint8_t>(v);
        }
      }
      VmSetTop(L, dataIndex - 1);
    }
    // What was not given is silence; 8-bit script data is unsigned.
    if (bits == 8)
      for (size_t i = values; pcm && i < static_cast<size_t>(frames) * channels; i++)
        data.get()[i] = 128;
    if (!pcm) {
      data.reset(static_cast<uint8_t*>(AllocMemoryArray(frames, bpf, 0)));
      if (!data) return ERR_MEM;
      std::memset(data.get(), bits == 8 ? 128 : 0, frames * bpf);
    }
    source = ConvertSource{data.get(), frames, code == 2 ? 0 : code == 3 ? 1 : code, 0};
  } else if (CompareNoCase(type, "sample") == 0) {
    if (!table) return ERR_WRONGUSAGE;
    VmPushString(L, "id");
    VmGetTable(L, table);
    if (VmType(L, -1) == VM_TYPE_NIL) return ERR_WRONGUSAGE;
    sampleId = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
    if (ErrorCode e = FindSample(sampleId, &sample)) return e;
    VmPushString(L, "free");
    VmGetTable(L, table);
    freeSample = VmToTruth(L, -1);
    VmSetTop(L, -2);
    source = ConvertSource{sample->desc->data, sample->desc->frames, sample->desc->formatCode,
                           static_cast<int32_t>(sample->desc->flags & 1)};
  } else {
    return ERR_WRONGUSAGE;
  }
  ConvertRange range;
  if (ErrorCode e = ReadConvertRange(L, table, source.frames, &range)) return e;
  ConvertSampleFrames(source, range, out.get(), frames, bits, bits == 16 ? 1 : 0, channels);
  if (freeSample) FreeSampleObject(L, sampleId, 0);
  dropConsumed(s);
  return QueueMusicFrames(s, out.get(), frames);
}

int cmdFlushMusicBuffer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(id, &m)) return e;
  if (!m->scriptFed || m->state != MUSIC_PLAYING) return ERR_WRONGUSAGE;
  if (soundContext.inFillHandler) return ERR_NOCALLBACK;
  if (ErrorCode e = StopMusicObject(L, m, 0)) return e;
  auto* s = static_cast<SoundStream*>(m->source);
  LockMutex(s->queueLock);
  for (QueuedSoundBuffer* b = s->queueHead; b;) {
    QueuedSoundBuffer* next = b->next;
    FreeMemory(b);
    b = next;
  }
  s->queueHead = s->queueTail = nullptr;
  s->queuedFrames = 0;
  UnlockMutex(s->queueLock);
  if (ErrorCode e = CallFillMusicBufferHandler(L, idOf(m), 0, s->rate * 2)) return e;
  return startMusic(L, m);
}

}  // namespace

// The fill poll: the first playing script-fed music with less than one
// second queued, with its queued frames and the frames missing.
int PollMusicBufferEvents(MusicFillNotice* out) {
  for (ObjectHead* h = soundContext.music; h; h = h->next) {
    auto* m = reinterpret_cast<MusicObject*>(h);
    if (!m->scriptFed || m->state != MUSIC_PLAYING) continue;
    auto* s = static_cast<SoundStream*>(m->source);
    uint32_t queued = queuedFrames(s);
    auto second = static_cast<uint32_t>(s->rate);
    if (queued >= second) continue;
    *out = MusicFillNotice{idOf(m), static_cast<int32_t>(queued),
                           static_cast<int32_t>(second - queued)};
    return 1;
  }
  return 0;
}

void SetFillHandlerRunning(int on) { soundContext.inFillHandler = on; }

ErrorCode FindMusic(ObjectId id, MusicObject** out) {
  for (ObjectHead* h = soundContext.music; h; h = h->next)
    if (id.autoId ? h->autoId == id.autoId : (!h->autoId && h->number == id.number)) {
      *out = reinterpret_cast<MusicObject*>(h);
      return ERR_NONE;
    }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDMUSIC;
}

MusicObject* MusicOfSource(void* music) {
  for (ObjectHead* h = soundContext.music; h; h = h->next)
    if (h == music) return reinterpret_cast<MusicObject*>(h);
  return nullptr;
}

ErrorCode StopMusicObject(VmState* L, MusicObject* m, int pause) {
  int32_t pass = 1;
  uint32_t position = 0;
  StopMusicPlayback(m->what, m->source, pause, &pass, &position);
  if (pause) {
    soundContext.lastPaused = m;
    if (soundContext.current == m) soundContext.current = nullptr;
    m->state = MUSIC_PAUSED;
    m->pass = pass;
    m->position = position;
  } else {
    markStopped(m);
  }
  releasePollIfIdle(L, m);
  return ERR_NONE;
}

void ReleaseMusicHold(VmState* L, MusicObject* m) {
  if (--m->busy <= 0 && m->freePending) destroyMusic(L, m);
}

void FreeAllMusicObjects(VmState* L) {
  while (ObjectHead* h = soundContext.music) {
    auto* m = reinterpret_cast<MusicObject*>(h);
    if (m->state != MUSIC_STOPPED && IsAudioDeviceOpen()) StopMusicObject(L, m, 0);
    unlinkMusic(m);
    if (m->busy > 0)
      m->freePending = 1;
    else
      destroyMusic(L, m);
  }
  soundContext.current = soundContext.lastPaused = nullptr;
  if (soundContext.pollHeld) {
    ReleasePollTimer(L, POLL_CLIENT_AUDIO);
    soundContext.pollHeld = 0;
  }
}

// A music channel that ended by itself: the music is stopped and no longer
// the current one.
void ForgetCurrentModule(void* music) {
  MusicObject* m = MusicOfSource(music);
  if (!m) return;
  markStopped(m);
  if (m->scriptFed && soundContext.pollHeld && !otherScriptFedPlaying(m) && soundContext.state) {
    ReleasePollTimer(soundContext.state, POLL_CLIENT_AUDIO);
    soundContext.pollHeld = 0;
  }
}

int ReadMusicAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(soundContext.music));
    return 1;
  }
  MusicObject* m = nullptr;
  if (ErrorCode e = FindMusic(GetObjectIdArg(L, 2, nullptr), &m)) return e;
  switch (attribute) {
    case ATTRTYPE:
      VmPushString(L, GetStreamFormatName(m->what, m->source));
      return 1;
    case ATTRDURATION:
      VmPushNumber(L, static_cast<double>(GetStreamInfo(0, m->what, m->source)));
      return 1;
    case ATTRPOSITION:
      VmPushNumber(L, static_cast<double>(GetStreamInfo(1, m->what, m->source)));
      return 1;
    case ATTRBITRATE:
      VmPushNumber(L, static_cast<double>(GetStreamInfo(5, m->what, m->source)));
      return 1;
    case ATTRPITCH:
      VmPushNumber(L, static_cast<double>(GetStreamInfo(4, m->what, m->source)));
      return 1;
    case ATTRFORMAT:
      VmPushNumber(L,
                   CodeToScriptFormat(static_cast<int32_t>(GetStreamInfo(3, m->what, m->source))));
      return 1;
    case ATTRCANSEEK:
      VmPushNumber(L, m->seekable ? 1 : 0);
      return 1;
    case ATTRNUMSUBSONGS:
      VmPushNumber(L, m->subsongs);
      return 1;
    case ATTRCURSUBSONG:
      VmPushNumber(L, m->currentSubsong);
      return 1;
    case ATTRPLAYING:
      VmPushNumber(L, m->state == MUSIC_PLAYING ? 1 : 0);
      return 1;
    case ATTRPAUSED:
      VmPushNumber(L, m->state == MUSIC_PAUSED ? 1 : 0);
      return 1;
    case ATTRLOADER:
      VmPushString(L, m->plugin ? m->plugin->moduleName : "inbuilt");
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}

extern const CommandTableEntry MUSIC_COMMANDS[] = {
    {"OpenMusic", cmdOpenMusic},
    {"PlayMusic", cmdPlayMusic},
    {"StopMusic", cmdStopMusic},
    {"PauseMusic", cmdPauseMusic},
    {"ResumeMusic", cmdResumeMusic},
    {"SeekMusic", cmdSeekMusic},
    {"SetMusicVolume", cmdSetMusicVolume},
    {"IsMusicPlaying", cmdIsMusicPlaying},
    {"IsMusic", cmdIsMusic},
    {"CloseMusic", cmdCloseMusic},
    {"GetSongPosition", cmdGetSongPosition},
    {"GetPatternPosition", cmdGetPatternPosition},
    {"WaitSongPosition", cmdWaitSongPosition},
    {"WaitPatternPosition", cmdWaitPatternPosition},
    {"PlaySubsong", cmdPlaySubsong},
    {"CreateMusic", cmdCreateMusic},
    {"FillMusicBuffer", cmdFillMusicBuffer},
    {"FlushMusicBuffer", cmdFlushMusicBuffer},
    {"LoadModule", cmdOpenMusic},
    {"PlayModule", cmdPlayMusic},
    {"StopModule", cmdStopMusic},
    {"PauseModule", cmdPauseMusic},
    {"ResumeModule", cmdResumeMusic},
    {"FreeModule", cmdCloseMusic},
    {"IsModule", cmdIsMusic},
    {nullptr, nullptr},
};
