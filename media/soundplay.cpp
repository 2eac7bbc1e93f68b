// The sample playing commands and the audio device commands: PlaySample,
// StopSample, WaitSampleEnd, IsSamplePlaying, SetVolume, SetPitch,
// SetPanning, OpenAudio, CloseAudio, ForceSound, SetMasterVolume,
// GetChannels, HaveFreeChannel, IsSound, IsChannelPlaying,
// SetChannelVolume and StopChannel, with the engine's script-level stop
// of a channel.
#include <algorithm>

#include "media/sound_private.h"

namespace {

constexpr int32_t MAX_PLAY_PAIRS = 4;
constexpr int32_t WAIT_STEP_MS = 10;

bool present(VmState* L, int index) {
  return VmType(L, index) != VM_TYPE_NONE && VmType(L, index) != VM_TYPE_NIL;
}

// A hold of a sample for a wait, dropped on every way out (a raise too).
struct SampleHold {
  VmState* L;
  SampleObject* s;
  SampleHold(VmState* state, SampleObject* sample) : L(state), s(sample) { s->busy++; }
  ~SampleHold() { ReleaseSampleHold(L, s); }
  SampleHold(const SampleHold&) = delete;
  SampleHold& operator=(const SampleHold&) = delete;
};

int cmdPlaySample(VmState* L) {
  CheckArgCount(L, 1, 0, 0, 0);
  int32_t pairs = (VmGetTop(L) + 1) / 2;
  if (pairs > MAX_PLAY_PAIRS) return ERR_WRONGUSAGE;
  int skip = 0;
  if (ErrorCode e = EnsureSoundOutput(L, &skip)) return e;
  if (skip) return 0;
  ErrorCode error = ERR_NONE;
  for (int32_t k = 0; k < pairs && !error; k++) {
    int index = 1 + 2 * k;
    ObjectId id = GetObjectIdArg(L, index, nullptr);
    int32_t times = 1, channel = 0;
    int64_t time = -1;
    int32_t volume = -1, pitch = -1, panning = -1;
    if (present(L, index + 1)) {
      if (VmType(L, index + 1) == VM_TYPE_TABLE) {
        int t = index + 1, found = 0;
        double value = 0;
        if (GetTableFieldNumber(L, t, "time", &value, &found)) {
          if (!(value >= 1)) return ERR_WRONGUSAGE;
          time = static_cast<int64_t>(std::min(value, 9e15));
        }
        if (GetTableFieldNumber(L, t, "volume", &value, &found))
          volume = !(value > 0) ? 0 : value > 64 ? 64 : static_cast<int32_t>(value);
        if (GetTableFieldNumber(L, t, "panning", &value, &found)) panning = ResolvePanning(value);
        if (GetTableFieldInt(L, t, "times", &times, &found)) time = -1;
        GetTableFieldInt(L, t, "pitch", &pitch, &found);
        GetTableFieldInt(L, t, "channel", &channel, &found);
      } else {
        times = VmCheckInteger(L, index + 1);
      }
    }
    SampleObject* s = nullptr;
    if ((error = FindSample(id, &s))) break;
    if (volume == -1) volume = s->volume;
    if (pitch == -1) pitch = s->pitch;
    if (panning == -1) panning = s->panning;
    if (pitch < 256) {
      error = ERR_LOWFREQ;
      break;
    }
    int32_t ch = VmIndexFromOne(channel);
    error = StartSampleOnChannel(L, s->desc, id, pitch, volume, panning, time, times, &ch);
  }
  // What was prepared before a failure still starts, together.
  StartPreparedSamples();
  return error;
}

int cmdStopSample(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(id, &s)) return e;
  if (IsAudioDeviceOpen()) StopSampleChannels(s->desc, -1);
  return 0;
}

int cmdWaitSampleEnd(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(id, &s)) return e;
  if (!IsAudioDeviceOpen()) return 0;
  SampleHold hold(L, s);
  for (;;) {
    CheckChannelTimeouts();
    if (s->freePending || !IsSampleOnChannel(s->desc)) return 0;
    ErrorCode pollError = ERR_NONE;
    if (RunEventPoll(L, 1, 0, &pollError)) return pollError ? pollError : ERR_USERABORT;
    if (s->freePending || !IsSampleOnChannel(s->desc)) return 0;
    Delay(WAIT_STEP_MS);
  }
}

int cmdIsSamplePlaying(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(GetObjectIdArg(L, 1, nullptr), &s)) return e;
  if (IsAudioDeviceOpen()) CheckChannelTimeouts();
  VmPushNumber(L, IsAudioDeviceOpen() && IsSampleOnChannel(s->desc) ? 1 : 0);
  return 1;
}

// The first channel that plays the sample, -1 when none.
int32_t channelOfSample(const AudioDescriptor* desc) {
  int32_t found = -1;
  LockAudioChannels();
  for (int32_t i = 0; found < 0; i++) {
    AudioChannel* c = GetAudioChannel(i);
    if (!c) break;
    if (c->kind != CHANNEL_FREE && c->kind != CHANNEL_ENDED && c->sample == desc) found = i;
  }
  UnlockAudioChannels();
  return found;
}

enum SampleSetting { SET_VOLUME, SET_PITCH, SET_PANNING };

// SetVolume, SetPitch and SetPanning: the value is stored and sent to the
// first channel that plays the sample; only the pitch setter sends a pitch.
int setSampleAttribute(VmState* L, SampleSetting what) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t volume = 0, pitch = 0, panning = 0;
  if (what == SET_VOLUME) volume = CheckVolumeArg(L, 2);
  if (what == SET_PITCH) pitch = VmCheckInteger(L, 2);
  if (what == SET_PANNING) panning = ResolvePanning(VmCheckNumber(L, 2));
  if (!IsAudioDeviceOpen()) return 0;
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(id, &s)) return e;
  if (what == SET_PITCH) {
    if (pitch < 256) return ERR_LOWFREQ;
    s->pitch = pitch;
  }
  if (what == SET_VOLUME) s->volume = volume;
  if (what == SET_PANNING) s->panning = panning;
  int32_t channel = channelOfSample(s->desc);
  if (channel >= 0)
    ApplyChannelAttributes(channel, what == SET_PITCH ? s->pitch : -1, s->volume, s->panning);
  return 0;
}

int cmdSetVolume(VmState* L) { return setSampleAttribute(L, SET_VOLUME); }
int cmdSetPitch(VmState* L) { return setSampleAttribute(L, SET_PITCH); }
int cmdSetPanning(VmState* L) { return setSampleAttribute(L, SET_PANNING); }

int cmdOpenAudio(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int skip = 0;
  return EnsureSoundOutput(L, &skip);
}

int cmdCloseAudio(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  StopAllVideos(L);
  StopAllChannels(L);
  FreeAllSamples(L);
  return 0;
}

int cmdForceSound(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  mediaContext.forceSound = VmToTruth(L, 1);
  return 0;
}

// Master volume is left to the desktop on this platform.
int cmdSetMasterVolume(VmState*) { return 0; }

int cmdGetChannels(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, mediaContext.noSound ? 0 : GetAudioChannelCount());
  return 1;
}

int cmdHaveFreeChannel(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int skip = 0;
  if (ErrorCode e = EnsureSoundOutput(L, &skip)) return e;
  int32_t free = 0;
  if (!skip) {
    CheckChannelTimeouts();
    for (int32_t i = 0; free == 0; i++) {
      int32_t state = 0;
      if (GetChannelState(i, &state, nullptr, 0)) break;
      if (state == CHANNELSTATE_FREE) free = i + 1;
    }
  }
  VmPushNumber(L, free);
  return 1;
}

int cmdIsSound(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int skip = 0;
  ErrorCode e = mediaContext.noSound ? ERR_NONE : EnsureSoundOutput(L, &skip);
  VmPushNumber(L, !e && !mediaContext.noSound && IsAudioDeviceOpen() ? 1 : 0);
  return 1;
}

int cmdIsChannelPlaying(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t channel = VmCheckInteger(L, 1);
  if (!IsAudioDeviceOpen()) {
    VmPushNumber(L, 0);
    return 1;
  }
  CheckChannelTimeouts();
  int32_t state = 0;
  ObjectId owner = {};
  if (GetChannelState(VmIndexFromOne(channel), &state, &owner, 0)) return ERR_CHANNELRANGE;
  if (state == CHANNELSTATE_FREE) {
    VmPushNumber(L, 0);
    return 1;
  }
  VmPushNumber(L, 1);
  VmPushNumber(L, state);
  PushObjectId(L, owner);
  return 3;
}

int cmdSetChannelVolume(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t channel = VmIndexFromOne(VmCheckInteger(L, 1));
  int32_t volume = CheckVolumeArg(L, 2);
  if (!IsAudioDeviceOpen()) return 0;
  int32_t state = 0;
  if (GetChannelState(channel, &state, nullptr, 1)) return ERR_CHANNELRANGE;
  AudioChannel* c = GetAudioChannel(channel);
  if (state == CHANNELSTATE_MUSIC) {
    if (MusicObject* m = MusicOfSource(c->music)) m->volume = volume;
    ApplyChannelAttributes(channel, -1, volume, -1);
  } else if (state == CHANNELSTATE_SAMPLE) {
    for (ObjectHead* h = soundContext.samples; h; h = h->next) {
      auto* s = reinterpret_cast<SampleObject*>(h);
      if (s->desc == c->sample) s->volume = volume;
    }
    ApplyChannelAttributes(channel, -1, volume, -1);
  } else if (state == CHANNELSTATE_VIDEO) {
    if (void* video = VideoOfChannel(c)) SetVideoVolumeOfChannel(video, volume);
  }
  UnlockAudioChannels();
  return 0;
}

// Stops what plays on the channel (0-based): music by StopMusic's rules;
// the command stops a sample on every channel that plays it (as StopSample
// does) and refuses a music stop inside the "FillMusicBuffer" handler, the
// engine (taking a channel over) stops only that channel.
ErrorCode stopChannel(VmState* L, int32_t channel, int command) {
  int32_t state = 0;
  if (GetChannelState(channel, &state, nullptr, 1)) return ERR_CHANNELRANGE;
  AudioChannel* c = GetAudioChannel(channel);
  ErrorCode error = ERR_NONE;
  if (state == CHANNELSTATE_MUSIC) {
    MusicObject* m = MusicOfSource(c->music);
    if (m && command && soundContext.inFillHandler) {
      error = ERR_NOCALLBACK;
    } else if (m && m->state != MUSIC_STOPPED) {
      error = StopMusicObject(L, m, 0);
    } else {
      StopAudioChannel(channel);
    }
  } else if (state == CHANNELSTATE_SAMPLE) {
    StopSampleChannels(c->sample, command ? -1 : channel);
  } else if (void* video = VideoOfChannel(c)) {
    error = StopVideoOfChannel(L, video);
  } else {
    StopAudioChannel(channel);
  }
  UnlockAudioChannels();
  return error;
}

int cmdStopChannel(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t channel = VmCheckInteger(L, 1);
  if (!IsAudioDeviceOpen()) return 0;
  return stopChannel(L, VmIndexFromOne(channel), 1);
}

}  // namespace

ErrorCode StopChannel(VmState* L, int32_t channel) { return stopChannel(L, channel, 0); }

extern const CommandTableEntry SAMPLE_PLAY_COMMANDS[] = {
    {"PlaySample", cmdPlaySample},
    {"StopSample", cmdStopSample},
    {"WaitSampleEnd", cmdWaitSampleEnd},
    {"IsSamplePlaying", cmdIsSamplePlaying},
    {"SetVolume", cmdSetVolume},
    {"SetPitch", cmdSetPitch},
    {"SetPanning", cmdSetPanning},
    {"OpenAudio", cmdOpenAudio},
    {"CloseAudio", cmdCloseAudio},
    {"ForceSound", cmdForceSound},
    {"SetMasterVolume", cmdSetMasterVolume},
    {"GetChannels", cmdGetChannels},
    {"HaveFreeChannel", cmdHaveFreeChannel},
    {"IsSound", cmdIsSound},
    {"IsChannelPlaying", cmdIsChannelPlaying},
    {"SetChannelVolume", cmdSetChannelVolume},
    {"StopChannel", cmdStopChannel},
    {nullptr, nullptr},
};
