// Sample objects: the list, look-up and freeing (deferred while a wait
// holds a sample), descriptors made from script data, the frame converter
// shared with script-fed music, and the plug-in operations on samples.
// Invariant: a descriptor's length is always frames x bytes per frame, and
// a sample's length field follows it.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "media/sound_private.h"

SoundContext soundContext;

namespace {

constexpr int32_t FRAME_SIZES[6] = {1, 2, 1, 2, 2, 4};

void unlinkFrom(ObjectHead** list, ObjectHead* record) {
  for (ObjectHead** p = list; *p; p = &(*p)->next)
    if (*p == record) {
      *p = record->next;
      record->next = nullptr;
      return;
    }
}

void appendTo(ObjectHead** list, ObjectHead* record) {
  ObjectHead** p = list;
  while (*p) p = &(*p)->next;
  *p = record;
}

void destroySample(VmState* L, SampleObject* s) {
  FreeObjectDataList(L, &s->head.data);
  FreeAudioDescriptor(s->desc);
  FreeMemory(s);
}

}  // namespace

int32_t GetSoundFrameSize(int32_t code) { return code >= 0 && code <= 5 ? FRAME_SIZES[code] : 0; }

int32_t ScriptFormatToCode(int32_t format) {
  static const int32_t CODES[4] = {2, 4, 3, 5};
  return format >= 0 && format <= 3 ? CODES[format] : -1;
}

int32_t CodeToScriptFormat(int32_t code) {
  static const int32_t FORMATS[6] = {0, 2, 0, 2, 1, 3};
  return code >= 0 && code <= 5 ? FORMATS[code] : -1;
}

int SoundDisabled() { return mediaContext.noSound || soundContext.openFailed; }

ErrorCode EnsureSoundOutput(VmState* L, int* skip) {
  *skip = 0;
  if (mediaContext.noSound) {
    *skip = 1;
    return ERR_NONE;
  }
  if (IsAudioDeviceOpen()) return ERR_NONE;
  if (!soundContext.openFailed || mediaContext.forceSound) {
    ErrorCode error = OpenAudioDevice(L, mediaContext.device[0] ? mediaContext.device : nullptr);
    if (!error) {
      soundContext.openFailed = 0;
      return ERR_NONE;
    }
    soundContext.openFailed = 1;
    if (mediaContext.forceSound) return error;
  }
  *skip = 1;
  return ERR_NONE;
}

ErrorCode FindSample(ObjectId id, SampleObject** out) {
  for (ObjectHead* h = soundContext.samples; h; h = h->next)
    if (id.autoId ? h->autoId == id.autoId : (!h->autoId && h->number == id.number)) {
      *out = reinterpret_cast<SampleObject*>(h);
      return ERR_NONE;
    }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDSAMPLE;
}

ErrorCode AddSampleObject(ObjectId* id, int automatic, AudioDescriptor* desc, int32_t pitch,
                          PluginBase* plugin, SampleObject** out) {
  auto* s = static_cast<SampleObject*>(AllocMemory(sizeof(SampleObject), 1));
  if (!s) {
    FreeAudioDescriptor(desc);
    return ERR_MEM;
  }
  s->head.type = OBJTYPE_SAMPLE;
  if (automatic) {
    s->head.autoId = s;
    *id = ObjectId{s, 0};
  } else {
    s->head.number = id->number;
  }
  s->desc = desc;
  s->volume = 64;
  s->panning = 128;
  s->pitch = pitch;
  s->formatCode = desc->formatCode;
  s->length = desc->length;
  s->plugin = plugin;
  appendTo(&soundContext.samples, &s->head);
  if (out) *out = s;
  return ERR_NONE;
}

ErrorCode FreeSampleObject(VmState* L, ObjectId id, int report) {
  SampleObject* s = nullptr;
  ErrorCode error = FindSample(id, &s);
  if (error) return report ? error : ERR_NONE;
  if (IsAudioDeviceOpen()) StopSampleChannels(s->desc, -1);
  unlinkFrom(&soundContext.samples, &s->head);
  if (s->busy > 0) {
    s->freePending = 1;
    return ERR_NONE;
  }
  destroySample(L, s);
  return ERR_NONE;
}

void ReleaseSampleHold(VmState* L, SampleObject* s) {
  if (--s->busy <= 0 && s->freePending) destroySample(L, s);
}

void FreeAllSamples(VmState* L) {
  while (ObjectHead* h = soundContext.samples) {
    auto* s = reinterpret_cast<SampleObject*>(h);
    if (IsAudioDeviceOpen()) StopSampleChannels(s->desc, -1);
    unlinkFrom(&soundContext.samples, h);
    if (s->busy > 0)
      s->freePending = 1;
    else
      destroySample(L, s);
  }
}

ErrorCode NewSampleDescriptor(size_t frames, int32_t code, int32_t rate, AudioDescriptor** out) {
  *out = nullptr;
  int32_t bpf = GetSoundFrameSize(code);
  if (bpf == 0 || frames == 0) return ERR_WRONGUSAGE;
  if (frames > std::numeric_limits<uint32_t>::max() / static_cast<size_t>(bpf)) return ERR_MEM;
  size_t bytes = frames * static_cast<size_t>(bpf);
  auto* d = static_cast<AudioDescriptor*>(AllocMemory(sizeof(AudioDescriptor), 1));
  if (!d) return ERR_MEM;
  d->data = static_cast<uint8_t*>(AllocMemory(bytes, 0));
  if (!d->data) {
    FreeMemory(d);
    return ERR_MEM;
  }
  // Signed 8-bit data is kept unsigned.
  if (code == 2 || code == 3) code -= 2;
  d->length = static_cast<uint32_t>(bytes);
  d->frames = static_cast<uint32_t>(frames);
  d->bits = code >= 4 ? 16 : 8;
  d->bytesPerFrame = bpf;
  d->channels = (code == 1 || code == 5) ? 2 : 1;
  d->flags = code >= 4 ? 2u : 0u;
  d->formatCode = code;
  d->rate = rate;
  *out = d;
  return ERR_NONE;
}

ErrorCode CreateSampleDescriptor(const void* data, size_t frames, int32_t code, int32_t rate,
                                 int swap16, AudioDescriptor** out) {
  AudioDescriptor* d = nullptr;
  if (ErrorCode e = NewSampleDescriptor(frames, code, rate, &d)) {
    *out = nullptr;
    return e;
  }
  const size_t bytes = d->length;
  std::memcpy(d->data, data, bytes);
  if (code == 2 || code == 3)
    for (size_t i = 0; i < bytes; i++) d->data[i] = static_cast<uint8_t>(d->data[i] + 128);
  if (swap16 && code >= 4)
    for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(d->data[i], d->data[i + 1]);
  *out = d;
  return ERR_NONE;
}

void ReplaceSamplePcm(SampleObject* s, uint8_t* data, uint32_t frames) {
  FreeMemory(s->desc->data);
  s->desc->data = data;
  s->desc->frames = frames;
  s->desc->length = frames * static_cast<uint32_t>(s->desc->bytesPerFrame);
  s->length = s->desc->length;
}

int32_t ResolvePanning(double value) {
  if (value == -90000) return 0;
  if (value == -80000) return 255;
  if (value == -100000) return 128;
  if (!(value >= 0)) return 0;  // negative, or not a number
  if (value > 255) return 255;
  return static_cast<int32_t>(value);
}

int32_t CheckVolumeArg(VmState* L, int index) {
  double value = 0;
  if (VmType(L, index) == VM_TYPE_STRING) {
    const char* text = VmToString(L, index);
    size_t n = std::strlen(text);
    char* end = nullptr;
    double percent = n > 1 && text[n - 1] == '%' ? std::strtod(text, &end) : -1;
    if (!end || end != text + n - 1 || percent < 0 || percent > 100) {
      SetErrorArgNumber(index);
      VmRaiseError(L, ERR_PERCENTFORMAT);
    }
    value = percent * 64 / 100;
  } else {
    value = VmCheckNumber(L, index);
  }
  if (!(value >= 0)) return 0;  // negative, or not a number
  if (value > 64) return 64;
  return static_cast<int32_t>(value);
}

ErrorCode ReadConvertRange(VmState* L, int table, uint32_t sourceFrames, ConvertRange* range) {
  *range = ConvertRange();
  if (table == 0) {
    range->end = sourceFrames;
    return ERR_NONE;
  }
  double start = 0, end = 0, offset = 0;
  int found = 0;
  GetTableFieldNumber(L, table, "start", &start, &found);
  GetTableFieldNumber(L, table, "end", &end, &found);
  GetTableFieldNumber(L, table, "offset", &offset, &found);
  VmPushString(L, "loop");
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_NIL) range->loop = VmToTruth(L, -1);
  VmSetTop(L, -2);
  // Values that are not numbers fail the range checks as negative ones do.
  if (!(start >= 0) || !(end >= 0) || !(offset >= 0) || (end != 0 && start >= end) ||
      end > sourceFrames || offset > std::numeric_limits<uint32_t>::max())
    return ERR_SMPRANGE;
  range->start = static_cast<uint32_t>(start);
  range->end = end == 0 ? sourceFrames : static_cast<uint32_t>(end);
  range->offset = static_cast<uint32_t>(offset);
  if (range->start > range->end) return ERR_SMPRANGE;
  return ERR_NONE;
}

void ConvertSampleFrames(const ConvertSource& source, const ConvertRange& range, uint8_t* out,
                         uint32_t frames, int32_t bits, int32_t isSigned, int32_t channels) {
  const int32_t code = source.formatCode;
  const int32_t sourceChannels = (code == 1 || code == 3 || code == 5) ? 2 : 1;
  const int32_t bpf = GetSoundFrameSize(code);
  const uint8_t silence8 = isSigned ? 0 : 128;
  // A range of no frames gives silence, as reading past the end without
  // looping does.
  const uint64_t span = range.end > range.start ? range.end - range.start : 0;
  auto value = [&](uint64_t frame, int32_t channel) -> int32_t {
    const uint8_t* p = source.data + frame * static_cast<uint64_t>(bpf);
    if (code >= 4) {
      const uint8_t* q = p + 2 * channel;
      uint16_t u = source.bigEndian ? static_cast<uint16_t>(q[0] << 8 | q[1])
                                    : static_cast<uint16_t>(q[1] << 8 | q[0]);
      return static_cast<int16_t>(u);
    }
    uint8_t b = p[channel];
    return code <= 1 ? (b - 128) * 256 : static_cast<int8_t>(b) * 256;
  };
  for (uint32_t n = 0; n < frames; n++) {
    uint64_t at = static_cast<uint64_t>(range.offset) + n;
    bool silent = span == 0 || (at >= span && !range.loop);
    int32_t v[2] = {0, 0};
    if (!silent) {
      uint64_t frame = range.start + at % span;
      if (frame >= source.frames) {
        silent = true;
      } else {
        v[0] = value(frame, 0);
        v[1] = sourceChannels == 2 ? value(frame, 1) : v[0];
      }
    }
    for (int32_t ch = 0; ch < channels; ch++) {
      if (bits == 16) {
        auto s = static_cast<int16_t>(silent ? 0 : v[ch]);
        std::memcpy(out, &s, 2);
        out += 2;
      } else {
        int32_t b = silent ? 0 : v[ch] / 256;  // toward zero
        *out++ = silent ? silence8 : static_cast<uint8_t>(isSigned ? b : b + 128);
      }
    }
  }
}

// ---- Operations that plug-ins reach ----

int GetSampleInfoForPlugin(ObjectId id, int32_t* formatCode, AudioDescriptor** desc,
                           uint32_t* length, int32_t* pitch) {
  SampleObject* s = nullptr;
  if (FindSample(id, &s)) return 0;
  if (formatCode) *formatCode = s->formatCode;
  if (desc) *desc = s->desc;
  if (length) *length = s->length;
  if (pitch) *pitch = s->pitch;
  return 1;
}

int IsSampleInUse(const AudioDescriptor* sample) { return IsSampleOnChannel(sample); }

void* GetSampleRecordField(const AudioDescriptor* sample) {
  return sample ? sample->data : nullptr;
}

int32_t GetSampleDescFlag(const AudioDescriptor* sample) {
  return sample ? static_cast<int32_t>(sample->flags & 1) : 0;
}
