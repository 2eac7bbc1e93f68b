// The sample commands that make, change, read and save samples: LoadSample,
// CreateSample, CopySample, MixSample, InsertSample, GetSampleData,
// SaveSample, FreeSample and IsSample. Every buffer size is computed in
// size_t and checked against the 32-bit frame and byte counts a descriptor
// holds before anything is allocated.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "media/media_private.h"
#include "media/sound_private.h"
#include "plugins/plugins.h"

namespace {

constexpr int32_t LOADING_SAMPLE_TEXT = 749;  // "Loading sample %s"
constexpr size_t LOADER_TEXT_MAX = 256;
constexpr uint32_t MAX_U32 = std::numeric_limits<uint32_t>::max();

struct LoaderOptions {
  char loader[LOADER_TEXT_MAX] = "";
  char adapter[LOADER_TEXT_MAX] = "";
  const char* Loader() const { return loader[0] ? loader : nullptr; }
  const char* Adapter() const { return adapter[0] ? adapter : nullptr; }
};

ErrorCode readLoaderOptions(VmState* L, int index, LoaderOptions* o) {
  if (VmType(L, index) == VM_TYPE_NONE || VmType(L, index) == VM_TYPE_NIL) return ERR_NONE;
  VmCheckTable(L, index);
  OptionField rows[] = {{"loader", OPTION_STRING, o->loader, sizeof o->loader},
                        {"adapter", OPTION_STRING, o->adapter, sizeof o->adapter}};
  return ReadOptionTable(L, index, rows);
}

bool present(VmState* L, int index) {
  return VmType(L, index) != VM_TYPE_NONE && VmType(L, index) != VM_TYPE_NIL;
}

// Bytes of frames frames of a format, or 0 when they do not fit a
// descriptor's 32-bit length.
size_t bytesOf(size_t frames, int32_t code) {
  size_t bpf = static_cast<size_t>(GetSoundFrameSize(code));
  if (bpf == 0 || frames > MAX_U32 / bpf) return 0;
  return frames * bpf;
}

int cmdLoadSample(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 2);
  const char* file = resolved.c_str();
  LoaderOptions o;
  if (ErrorCode e = readLoaderOptions(L, 3, &o)) return e;
  if (SoundDisabled() || mediaContext.noSound) return 0;
  if (!automatic) FreeSampleObject(L, id, 0);
  PrintProgress(GetBuiltinString(LOADING_SAMPLE_TEXT), file, 0);
  AudioDescriptor* desc = nullptr;
  uint32_t length = 0;
  int32_t rate = 0, format = 0;
  PluginBase* plugin = nullptr;
  ErrorCode e =
      LoadSoundFileAsSample(file, o.Loader(), o.Adapter(), &desc, &length, &rate, &format, &plugin);
  if (e) return e;
  if (ErrorCode e2 = AddSampleObject(&id, automatic, desc, rate, plugin, nullptr)) return e2;
  PrintDone();
  return automatic ? PushObjectId(L, id) : 0;
}

// The "pcm" source: count values, or every value up to the first missing
// entry, each in the signed range of the format.
ErrorCode readPcmValues(VmState* L, int table, int32_t code, int countGiven, int32_t count,
                        OwnedMemory<uint8_t>* out, size_t* frames) {
  const int32_t channels = (code == 3 || code == 5) ? 2 : 1;
  const bool wide = code >= 4;
  size_t values = 0;
  if (countGiven) {
    values = static_cast<size_t>(count);
  } else {
    for (;; values++) {
      VmRawGetI(L, table, static_cast<int>(values));
      bool missing = VmType(L, -1) == VM_TYPE_NIL;
      VmSetTop(L, -2);
      if (missing || values >= static_cast<size_t>(std::numeric_limits<int>::max())) break;
    }
  }
  if (values == 0 || values % static_cast<size_t>(channels) != 0) return ERR_WRONGUSAGE;
  size_t bytes = values * (wide ? 2 : 1);
  if (bytes > MAX_U32) return ERR_MEM;
  out->reset(static_cast<uint8_t*>(AllocMemory(bytes, 0)));
  if (!*out) return ERR_MEM;
  for (size_t i = 0; i < values; i++) {
    VmRawGetI(L, table, static_cast<int>(i));
    bool number = VmType(L, -1) == VM_TYPE_NUMBER;
    double v = number ? VmToNumber(L, -1) : 0;
    VmSetTop(L, -2);
    if (!number) return ERR_WRONGUSAGE;
    // Outside the range, or not a number at all.
    if (wide ? !(v >= -32768 && v <= 32767) : !(v >= -128 && v <= 127)) return ERR_SMPRANGE;
    if (wide) {
      auto s = static_cast<int16_t>(v);
      std::memcpy(out->get() + 2 * i, &s, 2);
    } else {
      out->get()[i] = static_cast<uint8_t>(static_cast<int8_t>(v));
    }
  }
  *frames = values / static_cast<size_t>(channels);
  return ERR_NONE;
}

int cmdCreateSample(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  VmCheckTable(L, 2);
  int32_t pitch = VmCheckInteger(L, 3);
  int32_t format = VmOptInteger(L, 4, 0);
  int countGiven = present(L, 5);
  int32_t count = countGiven ? VmCheckInteger(L, 5) : 0;
  if (SoundDisabled()) return 0;
  int32_t code = ScriptFormatToCode(format);
  if (code < 0 || count < 0) return ERR_WRONGUSAGE;
  if (pitch < 256) return ERR_LOWFREQ;
  char source[16] = "pcm";
  int found = 0;
  GetTableFieldString(L, 2, "source", source, sizeof source, &found);
  OwnedMemory<uint8_t> data;
  size_t frames = 0;
  if (CompareNoCase(source, "pcm") == 0) {
    if (ErrorCode e = readPcmValues(L, 2, code, countGiven, count, &data, &frames)) return e;
  } else if (CompareNoCase(source, "file") == 0 || CompareNoCase(source, "memory") == 0) {
    if (!countGiven || count == 0) return ERR_WRONGUSAGE;
    bool file = CompareNoCase(source, "file") == 0;
    VmPushString(L, "id");
    VmGetTable(L, 2);
    if (VmType(L, -1) == VM_TYPE_NIL) return ERR_WRONGUSAGE;
    ObjectId sourceId = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
    double offsetArg = 0;
    size_t offset = 0;
    GetTableFieldNumber(L, 2, "offset", &offsetArg, &found);
    if (offsetArg < 0 || !VmIntegerOf(offsetArg, &offset)) return ERR_WRONGUSAGE;
    size_t bytes = bytesOf(static_cast<size_t>(count), code);
    if (bytes == 0) return ERR_MEM;
    data.reset(static_cast<uint8_t*>(AllocMemory(bytes, 0)));
    if (!data) return ERR_MEM;
    ErrorCode e = file ? ReadSampleSourceFile(L, sourceId, data.get(), bytes)
                       : ReadSampleSourceMemory(L, sourceId, offset, data.get(), bytes);
    if (e) return e;
    frames = static_cast<size_t>(count);
  } else {
    return ERR_WRONGUSAGE;
  }
  int swap = 0;
  VmPushString(L, "swap");
  VmGetTable(L, 2);
  swap = CompareNoCase(source, "pcm") != 0 && VmToTruth(L, -1);
  VmSetTop(L, -2);
  if (!automatic) FreeSampleObject(L, id, 0);
  AudioDescriptor* desc = nullptr;
  if (ErrorCode e = CreateSampleDescriptor(data.get(), frames, code, pitch, swap, &desc)) return e;
  if (ErrorCode e = AddSampleObject(&id, automatic, desc, pitch, nullptr, nullptr)) return e;
  return automatic ? PushObjectId(L, id) : 0;
}

int cmdCopySample(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId from = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  if (SoundDisabled()) return 0;
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(from, &s)) return e;
  if (!automatic && !from.autoId && from.number == id.number) return ERR_WRONGUSAGE;
  AudioDescriptor* desc = nullptr;
  if (ErrorCode e = CreateSampleDescriptor(s->desc->data, s->desc->frames, s->desc->formatCode,
                                           s->desc->rate, 0, &desc))
    return e;
  desc->flags = s->desc->flags;
  ObjectDataEntry* data = nullptr;
  if (ErrorCode e = CopyObjectDataList(L, s->head.data, &data)) {
    FreeAudioDescriptor(desc);
    return e;
  }
  if (!automatic) FreeSampleObject(L, id, 0);
  SampleObject* copy = nullptr;
  if (ErrorCode e = AddSampleObject(&id, automatic, desc, s->pitch, s->plugin, &copy)) {
    FreeObjectDataList(L, &data);
    return e;
  }
  copy->volume = s->volume;
  copy->panning = s->panning;
  copy->head.data = data;
  return automatic ? PushObjectId(L, id) : 0;
}

// One source of MixSample.
struct MixSource {
  SampleObject* sample;
  double pitch, offset, scale;
  int64_t threshold;
  double length;  // frames to take; infinity: unlimited
  int32_t loop;
};

// A 24-bit value times a scale, truncated; far past any sum the result is
// held at +-2^40, which every sum of sources still clamps as it must.
int64_t scaleValue(int64_t value, double scale) {
  constexpr double LIMIT = 1099511627776.0;  // 2^40
  double scaled = static_cast<double>(value) * scale;
  if (std::isnan(scaled)) return 0;
  return static_cast<int64_t>(std::min(std::max(scaled, -LIMIT), LIMIT));
}

// A source value in signed 24 bits: 16-bit values times 256, 8-bit ones
// times 65536.
enum SourceFormat { LE16, BE16, S8, U8 };
template <SourceFormat FORMAT>
inline int64_t sourceValue(const uint8_t* q) {
  if constexpr (FORMAT == LE16)
    return static_cast<int16_t>(static_cast<uint16_t>(q[1] << 8 | q[0])) * 256;
  if constexpr (FORMAT == BE16)
    return static_cast<int16_t>(static_cast<uint16_t>(q[0] << 8 | q[1])) * 256;
  if constexpr (FORMAT == S8) return static_cast<int8_t>(q[0]) * 65536;
  return (q[0] - 128) * 65536;
}

SourceFormat formatOf(const AudioDescriptor* d) {
  if (d->bits == 16) return (d->flags & 1) ? BE16 : LE16;
  return (d->flags & 2) ? S8 : U8;
}

// The values of one frame of a source, scaled; a mono frame is heard on
// both sides.
void frameValues(const AudioDescriptor* d, const uint8_t* p, double scale, int64_t v[2]) {
  for (int32_t ch = 0; ch < d->channels; ch++) {
    const uint8_t* q = p + (d->bits == 16 ? 2 * ch : ch);
    switch (formatOf(d)) {
      case LE16:
        v[ch] = sourceValue<LE16>(q);
        break;
      case BE16:
        v[ch] = sourceValue<BE16>(q);
        break;
      case S8:
        v[ch] = sourceValue<S8>(q);
        break;
      case U8:
        v[ch] = sourceValue<U8>(q);
        break;
    }
    if (scale != 1.0) v[ch] = scaleValue(v[ch], scale);
  }
  if (d->channels == 1) v[1] = v[0];
}

// Adds count frames of a source at p to the sums (left, right pairs), at
// full volume.
template <SourceFormat FORMAT, int CHANNELS>
void addFrames(const uint8_t* p, size_t count, int64_t* sums) {
  constexpr size_t VALUE = FORMAT == LE16 || FORMAT == BE16 ? 2 : 1;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* q = p + i * VALUE * CHANNELS;
    int64_t left = sourceValue<FORMAT>(q);
    int64_t right = CHANNELS == 2 ? sourceValue<FORMAT>(q + VALUE) : left;
    sums[2 * i] += left;
    sums[2 * i + 1] += right;
  }
}

template <SourceFormat FORMAT>
void addFramesOf(int32_t channels, const uint8_t* p, size_t count, int64_t* sums) {
  if (channels == 2)
    addFrames<FORMAT, 2>(p, count, sums);
  else
    addFrames<FORMAT, 1>(p, count, sums);
}

// Adds count consecutive frames of a source, from frame first on, to the
// sums.
void addRun(const AudioDescriptor* d, double scale, size_t first, size_t count, int64_t* sums) {
  const uint8_t* p = d->data + first * static_cast<size_t>(d->bytesPerFrame);
  if (scale != 1.0) {
    for (size_t i = 0; i < count; i++, p += d->bytesPerFrame) {
      int64_t v[2] = {0, 0};
      frameValues(d, p, scale, v);
      sums[2 * i] += v[0];
      sums[2 * i + 1] += v[1];
    }
    return;
  }
  switch (formatOf(d)) {
    case LE16:
      addFramesOf<LE16>(d->channels, p, count, sums);
      break;
    case BE16:
      addFramesOf<BE16>(d->channels, p, count, sums);
      break;
    case S8:
      addFramesOf<S8>(d->channels, p, count, sums);
      break;
    case U8:
      addFramesOf<U8>(d->channels, p, count, sums);
      break;
  }
}

// Output frames mixed at a time.
constexpr size_t MIX_BLOCK = 2048;

// Whether a source steps exactly one whole frame per output frame over the
// whole mix (its pitch is the mix's rate and its offset a whole frame), so
// that the position of output frame f is offset + f - threshold exactly.
bool stepsWholeFrames(const MixSource& m, int32_t rate, size_t frames) {
  constexpr double EXACT = 4503599627370496.0;  // 2^52: sums and products stay exact
  const double longest = static_cast<double>(frames) - static_cast<double>(m.threshold);
  return m.pitch == rate && m.offset == std::floor(m.offset) && m.offset < EXACT &&
         longest * m.pitch < EXACT;
}

// Adds what source m gives output frames [f0, f0 + count) to the sums.
void addSource(const MixSource& m, int32_t rate, size_t frames, size_t f0, size_t count,
               int64_t* sums) {
  const AudioDescriptor* d = m.sample->desc;
  // A source of no frames adds nothing.
  if (d->frames == 0) return;
  const auto blockStart = static_cast<int64_t>(f0);
  const int64_t blockEnd = blockStart + static_cast<int64_t>(count);
  int64_t f = std::max(blockStart, m.threshold);
  if (f >= blockEnd) return;
  if (!stepsWholeFrames(m, rate, frames)) {
    for (; f < blockEnd; f++) {
      double taken = static_cast<double>(f - m.threshold);
      if (taken >= m.length) continue;
      double position = m.offset + taken * m.pitch / rate;
      double whole = std::floor(position);
      // Past the end (or a position too large to hold) the source wraps
      // when it loops; a position that overflowed has no frame to read.
      if (!(whole < static_cast<double>(d->frames))) {
        if (!m.loop || !std::isfinite(whole)) continue;
        whole = std::fmod(whole, static_cast<double>(d->frames));
      }
      int64_t v[2] = {0, 0};
      frameValues(d, d->data + static_cast<size_t>(whole) * static_cast<size_t>(d->bytesPerFrame),
                  m.scale, v);
      int64_t* s = sums + 2 * (f - blockStart);
      s[0] += v[0];
      s[1] += v[1];
    }
    return;
  }
  // Frames taken: taken < length, that is taken < ceil(length).
  int64_t end = blockEnd;
  if (!(m.length >= 4503599627370496.0)) {
    if (!(m.length > 0)) return;
    end = std::min(end, m.threshold + static_cast<int64_t>(std::ceil(m.length)));
  }
  auto frame = static_cast<uint64_t>(m.offset) + static_cast<uint64_t>(f - m.threshold);
  const uint64_t sourceFrames = d->frames;
  while (f < end) {
    if (frame >= sourceFrames) {
      if (!m.loop) return;
      frame %= sourceFrames;
    }
    size_t run = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(end - f), sourceFrames - frame));
    addRun(d, m.scale, static_cast<size_t>(frame), run, sums + 2 * (f - blockStart));
    f += static_cast<int64_t>(run);
    frame += run;
  }
}

// Writes count frames of the sums, each held to signed 24 bits, as they
// are kept in format code: 16-bit values, or 8-bit ones with 128 added.
void writeFrames(const int64_t* sums, size_t count, int32_t code, uint8_t* out) {
  auto held = [](int64_t v) { return std::min<int64_t>(std::max<int64_t>(v, -8388608), 8388607); };
  switch (code) {
    case 5:
      for (size_t i = 0; i < count; i++) {
        int16_t s[2] = {static_cast<int16_t>(held(sums[2 * i]) >> 8),
                        static_cast<int16_t>(held(sums[2 * i + 1]) >> 8)};
        std::memcpy(out + 4 * i, s, 4);
      }
      break;
    case 4:
      for (size_t i = 0; i < count; i++) {
        auto s = static_cast<int16_t>((held(sums[2 * i]) + held(sums[2 * i + 1])) >> 9);
        std::memcpy(out + 2 * i, &s, 2);
      }
      break;
    case 3:
      for (size_t i = 0; i < 2 * count; i++)
        out[i] = static_cast<uint8_t>(static_cast<int8_t>(held(sums[i]) >> 16) + 128);
      break;
    default:
      for (size_t i = 0; i < count; i++)
        out[i] = static_cast<uint8_t>(
            static_cast<int8_t>((held(sums[2 * i]) + held(sums[2 * i + 1])) >> 17) + 128);
      break;
  }
}

// The mix in signed 24-bit sums (see MixSample below), a block of frames at
// a time; out holds frames frames of format code as a descriptor keeps them.
void mixFrames(const MixSource* sources, size_t count, int32_t rate, int32_t code, uint8_t* out,
               size_t frames) {
  const size_t frameBytes = static_cast<size_t>(GetSoundFrameSize(code));
  std::vector<int64_t> sums(2 * MIX_BLOCK);
  for (size_t f0 = 0; f0 < frames; f0 += MIX_BLOCK) {
    const size_t n = std::min(MIX_BLOCK, frames - f0);
    std::fill(sums.begin(), sums.begin() + static_cast<ptrdiff_t>(2 * n), 0);
    for (size_t k = 0; k < count; k++) addSource(sources[k], rate, frames, f0, n, sums.data());
    writeFrames(sums.data(), n, code, out + f0 * frameBytes);
  }
}

int cmdMixSample(VmState* L) {
  // Five or more: an odd count past the first four is ERR_WRONGUSAGE below.
  CheckArgCount(L, 5, 0, 0, 0);
  int top = VmGetTop(L);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  double frames = VmCheckNumber(L, 2);
  int32_t rate = VmCheckInteger(L, 3);
  int32_t format = VmCheckInteger(L, 4);
  if (SoundDisabled()) return 0;
  int32_t code = ScriptFormatToCode(format);
  if ((top - 4) % 2 != 0 || code < 0) return ERR_WRONGUSAGE;
  if (rate < 256) return ERR_LOWFREQ;
  if (!(frames >= 1)) return ERR_WRONGUSAGE;
  size_t count = static_cast<size_t>(top - 4) / 2;
  OwnedMemory<MixSource> sources(
      static_cast<MixSource*>(AllocMemoryArray(count, sizeof(MixSource), 1)));
  if (!sources) return ERR_MEM;
  for (size_t k = 0; k < count; k++) {
    int index = 5 + static_cast<int>(2 * k);
    MixSource& m = sources.get()[k];
    if (ErrorCode e = FindSample(GetObjectIdArg(L, index, nullptr), &m.sample)) return e;
    m.pitch = m.sample->pitch;
    m.scale = 1.0;
    m.length = std::numeric_limits<double>::infinity();
    m.loop = 1;
    double threshold = 0;
    if (present(L, index + 1)) {
      VmCheckTable(L, index + 1);
      int found = 0;
      GetTableFieldNumber(L, index + 1, "pitch", &m.pitch, &found);
      GetTableFieldNumber(L, index + 1, "offset", &m.offset, &found);
      GetTableFieldNumber(L, index + 1, "threshold", &threshold, &found);
      found = 0;
      double length = 0;
      GetTableFieldNumber(L, index + 1, "length", &length, &found);
      if (found) m.length = length;
      GetTableFieldNumber(L, index + 1, "scale", &m.scale, &found);
      VmPushString(L, "loop");
      VmGetTable(L, index + 1);
      if (VmType(L, -1) != VM_TYPE_NIL) m.loop = VmToTruth(L, -1);
      VmSetTop(L, -2);
    }
    // The position never goes below the offset: a negative pitch would
    // read before the source.
    if (!(m.offset >= 0)) return ERR_SMPRANGE;
    if (m.pitch < 0) return ERR_LOWFREQ;
    if (std::isnan(threshold) || std::isnan(m.pitch) || std::isnan(m.length)) return ERR_WRONGUSAGE;
    m.threshold = static_cast<int64_t>(std::min(std::max(threshold, -9e15), 9e15));
  }
  size_t bytes = frames >= MAX_U32 ? 0 : bytesOf(static_cast<size_t>(frames), code);
  if (bytes == 0) return ERR_MEM;
  // The mix is written straight into the new sample's memory.
  AudioDescriptor* desc = nullptr;
  if (ErrorCode e = NewSampleDescriptor(static_cast<size_t>(frames), code, rate, &desc)) return e;
  mixFrames(sources.get(), count, rate, code, desc->data, static_cast<size_t>(frames));
  if (!automatic) FreeSampleObject(L, id, 0);
  if (ErrorCode e = AddSampleObject(&id, automatic, desc, rate, nullptr, nullptr)) return e;
  return automatic ? PushObjectId(L, id) : 0;
}

int cmdInsertSample(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  ObjectId from = GetObjectIdArg(L, 2, nullptr);
  double position = VmCheckNumber(L, 3);
  int32_t count = VmOptInteger(L, 4, 0);
  int table = 0;
  if (present(L, 5)) {
    VmCheckTable(L, 5);
    table = 5;
  }
  if (SoundDisabled()) return 0;
  SampleObject *s = nullptr, *src = nullptr;
  if (ErrorCode e = FindSample(id, &s)) return e;
  if (ErrorCode e = FindSample(from, &src)) return e;
  if (s == src) return ERR_WRONGUSAGE;
  if (IsAudioDeviceOpen() && IsSampleOnChannel(s->desc)) return ERR_MODIFYPSMP;
  uint32_t inserted = src->desc->frames;
  if (count >= 1 && static_cast<uint32_t>(count) < inserted)
    inserted = static_cast<uint32_t>(count);
  uint32_t have = s->desc->frames;
  // A position that is not a number counts as the start.
  uint32_t at = !(position > 0) ? 0 : position >= have ? have : static_cast<uint32_t>(position);
  ConvertRange range;
  if (ErrorCode e = ReadConvertRange(L, table, src->desc->frames, &range)) return e;
  size_t total = static_cast<size_t>(have) + inserted;
  size_t bpf = static_cast<size_t>(s->desc->bytesPerFrame);
  if (total > MAX_U32 / bpf) return ERR_MEM;
  auto* data = static_cast<uint8_t*>(AllocMemory(total * bpf, 0));
  if (!data) return ERR_MEM;
  std::memcpy(data, s->desc->data, at * bpf);
  ConvertSource source{src->desc->data, src->desc->frames, src->desc->formatCode,
                       static_cast<int32_t>(src->desc->flags & 1)};
  ConvertSampleFrames(source, range, data + at * bpf, inserted, s->desc->bits,
                      (s->desc->flags & 2) ? 1 : 0, s->desc->channels);
  std::memcpy(data + (static_cast<size_t>(at) + inserted) * bpf, s->desc->data + at * bpf,
              (have - at) * bpf);
  ReplaceSamplePcm(s, data, static_cast<uint32_t>(total));
  return 0;
}

int cmdGetSampleData(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SampleObject* s = nullptr;
  if (ErrorCode e = FindSample(GetObjectIdArg(L, 1, nullptr), &s)) return e;
  const AudioDescriptor* d = s->desc;
  size_t values = static_cast<size_t>(d->frames) * static_cast<size_t>(d->channels);
  if (values > static_cast<size_t>(std::numeric_limits<int>::max())) return ERR_MEM;
  VmNewTableSized(L, static_cast<int>(values), 0);
  for (size_t i = 0; i < values; i++) {
    double v;
    if (d->bits == 16) {
      const uint8_t* q = d->data + 2 * i;
      auto u = (d->flags & 1) ? static_cast<uint16_t>(q[0] << 8 | q[1])
                              : static_cast<uint16_t>(q[1] << 8 | q[0]);
      v = static_cast<int16_t>(u);
    } else {
      v = (d->flags & 2) ? static_cast<int8_t>(d->data[i]) : d->data[i] - 128;
    }
    VmPushNumber(L, v);
    VmRawSetI(L, -2, static_cast<int>(i));
  }
  VmPushNumber(L, d->frames);
  return 2;
}

// Writes all bytes, retrying after signals; false on a short write.
bool writeAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

ErrorCode saveWave(const SampleObject* s, const char* file) {
  const AudioDescriptor* d = s->desc;
  size_t length = d->length;
  size_t padded = (length + 3) & ~static_cast<size_t>(3);
  if (padded + 36 > MAX_U32) return ERR_WRITE;
  // The copy as a WAVE file holds it: unsigned 8-bit, little-endian 16-bit,
  // padded with zeros to a multiple of four.
  OwnedMemory<uint8_t> image(static_cast<uint8_t*>(AllocMemory(44 + padded, 1)));
  if (!image) return ERR_MEM;
  uint8_t* h = image.get();
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, static_cast<uint32_t>(padded + 36));
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);
  put16(h + 22, static_cast<uint32_t>(d->channels));
  put32(h + 24, static_cast<uint32_t>(s->pitch));
  put32(h + 28, static_cast<uint32_t>(s->pitch) * static_cast<uint32_t>(d->bytesPerFrame));
  put16(h + 32, static_cast<uint32_t>(d->bytesPerFrame));
  put16(h + 34, static_cast<uint32_t>(d->bits));
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, static_cast<uint32_t>(length));
  uint8_t* body = h + 44;
  if (d->bits == 16) {
    for (size_t i = 0; i + 1 < length; i += 2) {
      body[i] = d->data[i + ((d->flags & 1) ? 1 : 0)];
      body[i + 1] = d->data[i + ((d->flags & 1) ? 0 : 1)];
    }
  } else {
    for (size_t i = 0; i < length; i++)
      body[i] = (d->flags & 2) ? static_cast<uint8_t>(d->data[i] - 128) : d->data[i];
  }
  int fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetErrorArgString(file);
    return ERR_WRITEFILE;
  }
  bool ok = writeAll(fd, h, 44 + padded);
  int closed = ::close(fd);
  if (!ok) return ERR_WRITE;
  if (closed != 0 && errno != EINTR) return ERR_CLOSEFILE;
  return ERR_NONE;
}

int cmdSaveSample(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  SampleObject* s = nullptr;
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  const char* file = VmCheckString(L, 2, nullptr);
  int32_t format = VmOptInteger(L, 3, 0);
  if (ErrorCode e = FindSample(id, &s)) return e;
  if (format != 0) return SaveSampleThroughPlugin(s, file, format);
  return saveWave(s, file);
}

int cmdFreeSample(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  if (SoundDisabled()) return 0;
  return FreeSampleObject(L, id, 1);
}

int cmdIsSample(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 1);
  const char* file = resolved.c_str();
  LoaderOptions o;
  if (ErrorCode e = readLoaderOptions(L, 2, &o)) return e;
  SoundStream* s = nullptr;
  int answer = 0;
  if (OpenSoundFile(file, o.Loader(), o.Adapter(), 0, 0, &s, nullptr) == ERR_NONE) {
    answer = s->byteLength != 0 && s->bytesPerFrame != 0 && s->bits != 0;
    CloseSoundFile(s);
  }
  VmPushNumber(L, answer ? 1 : 0);
  return 1;
}

}  // namespace

// Format codes other than 0 go to the sample saver of the plug-in that
// registered them. The signed flag follows the data as stored: 16-bit
// values are signed, 8-bit ones are kept unsigned whatever format made them.
ErrorCode SaveSampleThroughPlugin(const SampleObject* s, const char* file, int32_t format) {
  SaverFormat saver;
  if (ErrorCode e = FindSampleSaverFormat(format, &saver)) return e;
  const AudioDescriptor* d = s->desc;
  QmSampleSaveRequest request = {};
  request.pcm = d->data;
  request.length = d->length;
  request.frames = d->frames;
  request.channels = d->channels;
  request.bits = d->bits;
  request.pitch = s->pitch;
  request.flags =
      (d->flags & 2 ? QM_SAMPLESAVE_SIGNED : 0u) | (d->flags & 1 ? QM_SAMPLESAVE_BIGENDIAN : 0u);
  request.formatId = format;
  return CallSampleSaver(&saver, file, &request);
}

extern const CommandTableEntry SAMPLE_MAKE_COMMANDS[] = {
    {"LoadSample", cmdLoadSample},     {"CreateSample", cmdCreateSample},
    {"CopySample", cmdCopySample},     {"MixSample", cmdMixSample},
    {"InsertSample", cmdInsertSample}, {"GetSampleData", cmdGetSampleData},
    {"SaveSample", cmdSaveSample},     {"FreeSample", cmdFreeSample},
    {"IsSample", cmdIsSample},         {nullptr, nullptr},
};
