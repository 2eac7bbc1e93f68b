// Sound files as streams: identifying a file (sound plug-ins first, then
// the built-in readers, then the platform's native decoder), decoding and
// seeking by reader kind, the stream queries, whole files as samples,
// music (streams and Protracker modules) and script-fed queues.
// Invariant: byteLength is frames x bytes per frame and fits 32 bits; a
// stream whose length would not fit is refused when it opens, so no caller
// sizes a buffer from a wrapped length.
#include <algorithm>
#include <climits>
#include <cstring>

#include "media/audio_private.h"
#include "media/media_private.h"
#include "plugins/plugins.h"

namespace {

constexpr size_t IDENTIFY_BYTES = 1084;  // a Protracker signature sits at 1080
constexpr uint32_t ENDLESS = 0xFFFFFFFF;

ErrorCode refuseName(const char* fileName) {
  SetErrorArgString(fileName);
  return ERR_OPENSOUND2;
}

int32_t formatCodeOf(int32_t channels, int32_t bits, uint32_t flags) {
  bool isSigned = flags & SOUNDFLAG_SIGNED;
  if (channels == 2) {
    if (bits == 8) return isSigned ? 3 : 1;
    if (bits == 16) return 5;
  } else if (channels == 1) {
    if (bits == 8) return isSigned ? 2 : 0;
    if (bits == 16) return 4;
  }
  return -1;
}

struct PluginStreamCalls {
  QmOpenStreamFunc open;
  QmCloseStreamFunc close;
  QmSeekStreamFunc seek;
  QmStreamSamplesFunc samples;
  QmGetFormatNameFunc name;
};
PluginStreamCalls callsOf(PluginBase* base) {
  PluginStreamCalls c = {};
  if (!base || base->kind == PLUGIN_KIND_BRIDGED) return c;
  c.open = reinterpret_cast<QmOpenStreamFunc>(GetPluginEntry(base, "OpenStream"));
  c.close = reinterpret_cast<QmCloseStreamFunc>(GetPluginEntry(base, "CloseStream"));
  c.seek = reinterpret_cast<QmSeekStreamFunc>(GetPluginEntry(base, "SeekStream"));
  c.samples = reinterpret_cast<QmStreamSamplesFunc>(GetPluginEntry(base, "StreamSamples"));
  c.name = reinterpret_cast<QmGetFormatNameFunc>(GetPluginEntry(base, "GetFormatName"));
  return c;
}

// 1 when a plug-in took the file, 0 when none did, or an error code.
ErrorCode tryPlugins(SoundStream* s, const char* fileName, const char* loader, const char* adapter,
                     int32_t subsong, bool* taken) {
  *taken = false;
  for (LoaderNode* n = GetPluginListForType(PLUGINCAPS_SOUND); n; n = n->next) {
    PluginBase* base = n->base;
    if (!base || base->disabled) continue;
    if (!IsLoaderAllowed(loader, base->moduleName, 1)) continue;
    if (base->mustBeNamed && !IsLoaderNamed(loader, base->moduleName)) continue;
    PluginStreamCalls calls = callsOf(base);
    if (!calls.open) continue;
    QmSoundOpenRequest request = {};
    request.subsong = subsong;
    request.subsongCount = 1;
    request.adapter = adapter;
    void* handle = calls.open(fileName, &request);
    if (!handle) continue;
    s->source = handle;
    s->plugin = base;
    s->readerKind = SOUNDKIND_PLUGIN;
    s->rate = request.rate;
    s->frames = s->streamFrames = request.frames;
    s->channels = request.channels;
    s->bits = request.bits;
    // Bytes per frame from channels and bits, for any bit depth.
    int64_t bpf = static_cast<int64_t>(request.channels) * request.bits / 8;
    int64_t bytes = bpf * request.frames;
    if (request.rate <= 0 || bpf <= 0 || bpf > INT32_MAX || bytes > UINT32_MAX) {
      if (calls.close) calls.close(handle);
      s->source = nullptr;
      return refuseName(fileName);
    }
    s->bytesPerFrame = s->outputBytesPerFrame = static_cast<int32_t>(bpf);
    s->byteLength = static_cast<uint32_t>(bytes);
    s->framesPerUnit = 1;
    s->flags = request.flags & (SOUNDFLAG_BIGENDIAN | SOUNDFLAG_SIGNED);
    s->seekable = (request.flags & QM_SOUNDFLAG_SEEKABLE) ? 1 : 0;
    s->subsongCount = request.subsongCount;
    *taken = true;
    return ERR_NONE;
  }
  return ERR_NONE;
}

// The built-in readers: 1 when one took the file.
ErrorCode tryBuiltin(SoundStream* s, const char* fileName, bool* taken) {
  *taken = false;
  StreamHandle* f = OpenFileStream(fileName, STREAM_READ | STREAM_ADAPTERS, nullptr);
  if (!f) {
    SetErrorArgString(fileName);
    return ERR_READFILE;
  }
  uint8_t head[IDENTIFY_BYTES];
  size_t got = ReadStream(f, head, sizeof head);
  int32_t kind = SOUNDKIND_NONE;
  if (got >= 12 && std::memcmp(head, "FORM", 4) == 0 && std::memcmp(head + 8, "8SVX", 4) == 0)
    kind = SOUNDKIND_8SVX;
  else if (got >= 12 && std::memcmp(head, "FORM", 4) == 0 && std::memcmp(head + 8, "16SV", 4) == 0)
    kind = SOUNDKIND_16SV;
  else if (got >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0)
    kind = SOUNDKIND_WAVE;
  else if (got == IDENTIFY_BYTES && std::memcmp(head + 1080, "M.K.", 4) == 0)
    kind = SOUNDKIND_MODULE;
  if (kind == SOUNDKIND_NONE) {
    CloseFileStream(f);
    return ERR_NONE;
  }
  s->source = f;
  s->readerKind = kind;
  if (kind == SOUNDKIND_MODULE) {
    s->seekable = 0;
    s->channels = 2;
    s->bits = 16;
    s->flags = SOUNDFLAG_SIGNED;
    s->rate = MOD_OUTPUT_RATE;
    *taken = true;
    return ERR_NONE;
  }
  // parse closes the file itself when it refuses.
  if (GetBuiltinSoundReader(kind)->parse(s) != ERR_NONE) {
    s->source = nullptr;
    s->readerKind = SOUNDKIND_NONE;
    return ERR_NONE;
  }
  *taken = true;
  return ERR_NONE;
}

void freeQueue(SoundStream* s) {
  for (QueuedSoundBuffer* b = s->queueHead; b;) {
    QueuedSoundBuffer* next = b->next;
    FreeMemory(b);
    b = next;
  }
  s->queueHead = s->queueTail = nullptr;
  s->queuedFrames = 0;
}

uint32_t decodeQueue(SoundStream* s, uint8_t* out, uint32_t frames, int32_t* done) {
  if (done) *done = 0;
  if (frames == 0) return 0;
  const size_t bpf = static_cast<size_t>(s->bytesPerFrame);
  uint32_t got = 0;
  LockMutex(s->queueLock);
  for (QueuedSoundBuffer* b = s->queueHead; b && got < frames; b = b->next) {
    if (b->done) continue;
    if (b->frames == 0) {
      b->done = 1;
      UnlockMutex(s->queueLock);
      if (done) *done = 1;
      return got;
    }
    uint32_t n = std::min(frames - got, b->frames - b->position);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(b + 1);
    std::memcpy(out + got * bpf, data + b->position * bpf, n * bpf);
    b->position += n;
    got += n;
    if (b->position >= b->frames) b->done = 1;
  }
  UnlockMutex(s->queueLock);
  // A dry queue plays silence of the stream's format.
  if (got < frames) {
    uint8_t silence = (s->formatCode == 0 || s->formatCode == 1) ? 128 : 0;
    std::memset(out + got * bpf, silence, (frames - got) * bpf);
  }
  return frames;
}

}  // namespace

ErrorCode OpenSoundFile(const char* fileName, const char* loader, const char* adapter,
                        int32_t subsong, int32_t openFlag, SoundStream** stream,
                        PluginBase** plugin) {
  *stream = nullptr;
  if (!fileName) return ERR_WRONGUSAGE;
  auto* s = static_cast<SoundStream*>(AllocMemory(sizeof(SoundStream), 1));
  if (!s) return ERR_MEM;
  s->seekable = 1;
  s->subsongCount = 1;
  s->openFlag = openFlag;
  bool taken = false;
  ErrorCode error = tryPlugins(s, fileName, loader, adapter, subsong, &taken);
  if (!error && !taken && IsLoaderAllowed(loader, "inbuilt", 0))
    error = tryBuiltin(s, fileName, &taken);
  // The native decoder of this platform refuses every file.
  if (!error && !taken) error = refuseName(fileName);
  if (error) {
    FreeMemory(s);
    return error;
  }
  s->formatCode = formatCodeOf(s->channels, s->bits, s->flags);
  if (plugin) *plugin = s->plugin;
  *stream = s;
  return ERR_NONE;
}

void CloseSoundFile(SoundStream* s) {
  if (!s) return;
  switch (s->readerKind) {
    case SOUNDKIND_8SVX:
    case SOUNDKIND_16SV:
    case SOUNDKIND_WAVE:
      GetBuiltinSoundReader(s->readerKind)->close(s);
      break;
    case SOUNDKIND_PLUGIN: {
      PluginStreamCalls calls = callsOf(s->plugin);
      if (calls.close) calls.close(s->source);
      break;
    }
    case SOUNDKIND_CUSTOM:
      freeQueue(s);
      FreeMutex(s->queueLock);
      break;
    case SOUNDKIND_MODULE:
      CloseFileStream(static_cast<StreamHandle*>(s->source));
      break;
    default:
      break;
  }
  FreeMemory(s);
}

uint32_t DecodeSoundBlock(SoundStream* s, void* buffer, uint32_t frames, int32_t* done) {
  uint32_t got = 0;
  int32_t ended = 0;
  switch (s->readerKind) {
    case SOUNDKIND_8SVX:
    case SOUNDKIND_16SV:
    case SOUNDKIND_WAVE:
      got = GetBuiltinSoundReader(s->readerKind)->readBlock(s, buffer, frames, &ended);
      break;
    case SOUNDKIND_PLUGIN: {
      PluginStreamCalls calls = callsOf(s->plugin);
      QmSoundDecodeRequest request = {buffer, frames, 0, 0, 0};
      if (calls.samples) calls.samples(s->source, &request);
      got = std::min(request.framesDone, frames);
      ended = request.done || got < frames;
      s->position += got;
      break;
    }
    case SOUNDKIND_CUSTOM:
      got = decodeQueue(s, static_cast<uint8_t*>(buffer), frames, &ended);
      break;
    default:
      break;
  }
  s->lastFrames = got;
  s->lastBytes = got * static_cast<uint32_t>(s->bytesPerFrame);
  if (done) *done = ended;
  return got;
}

void SeekSoundFile(SoundStream* s, uint32_t frame) {
  switch (s->readerKind) {
    case SOUNDKIND_8SVX:
    case SOUNDKIND_16SV:
    case SOUNDKIND_WAVE:
      GetBuiltinSoundReader(s->readerKind)->seek(s, frame);
      break;
    case SOUNDKIND_PLUGIN:
      // A stream that cannot seek can still start again from the top.
      if (s->seekable || frame == 0) {
        PluginStreamCalls calls = callsOf(s->plugin);
        if (calls.seek) calls.seek(s->source, frame);
        s->position = frame;
      }
      break;
    default:
      break;
  }
  int64_t us = s->rate > 0 ? static_cast<int64_t>(frame) * 1000000 / s->rate : 0;
  s->positionTime = {static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
  s->playStartTime = {0, 0};
}

void SeekSoundStreamMs(SoundStream* s, int64_t ms) {
  SeekSoundFile(s, static_cast<uint32_t>(static_cast<int64_t>(s->rate) * ms / 1000));
}

int64_t GetStreamInfo(int32_t query, int32_t what, void* source) {
  if (!source) return -1;
  if (what == 2) {
    if (query == 3) return 5;
    if (query == 4) return MOD_OUTPUT_RATE;
    return -1;
  }
  auto* s = static_cast<SoundStream*>(source);
  int64_t length = s->rate > 0 ? static_cast<int64_t>(s->frames) * 1000 / s->rate : 0;
  switch (query) {
    case 0:
      return length;
    case 1: {
      int64_t at =
          static_cast<int64_t>(s->positionTime.seconds) * 1000 + s->positionTime.micros / 1000;
      if (s->playStartTime.seconds == 0 && s->playStartTime.micros == 0) return at;
      TimeValue now;
      AudioNow(&now);
      int64_t playing = MsBetween(s->playStartTime, now) + at;
      // A stream that lasts less than a millisecond stays at its position.
      return length > 0 ? playing % length : at;
    }
    case 3:
      return s->formatCode;
    case 4:
      return s->rate;
    case 5:
      if (s->bitRate) return s->bitRate;
      if (s->byteLength && s->bytesPerFrame && s->bits)
        return static_cast<int64_t>(s->bytesPerFrame) * s->rate / 1024 * 8;
      return 0;
    default:
      return -1;
  }
}

const char* GetStreamFormatName(int32_t what, void* source) {
  if (what == 2) return "Protracker";
  auto* s = static_cast<SoundStream*>(source);
  if (!s) return "Unknown";
  if (const SoundReader* r = GetBuiltinSoundReader(s->readerKind)) return r->formatName;
  switch (s->readerKind) {
    case SOUNDKIND_PLUGIN: {
      PluginStreamCalls calls = callsOf(s->plugin);
      const char* name = calls.name ? calls.name(s->source) : nullptr;
      return name ? name : "Unknown";
    }
    case SOUNDKIND_CUSTOM:
      return "Custom stream";
    case SOUNDKIND_MODULE:
      return "Protracker";
    default:
      return "Unknown";
  }
}

int GetSoundFormatName(const char* fileName, const char* loader, const char* adapter,
                       const char** name) {
  static thread_local char copy[128];
  SoundStream* s = nullptr;
  if (OpenSoundFile(fileName, loader, adapter, 0, 0, &s, nullptr) != ERR_NONE) {
    *name = "Unknown";
    return 0;
  }
  StrCopyBounded(copy, sizeof copy, GetStreamFormatName(1, s));
  CloseSoundFile(s);
  *name = copy;
  return 1;
}

ErrorCode LoadSoundFileAsSample(const char* fileName, const char* loader, const char* adapter,
                                AudioDescriptor** sample, uint32_t* length, int32_t* rate,
                                int32_t* format, PluginBase** plugin) {
  *sample = nullptr;
  SoundStream* s = nullptr;
  ErrorCode error = OpenSoundFile(fileName, loader, adapter, 0, 0, &s, plugin);
  if (error) return error;
  if (!s->byteLength || !s->bytesPerFrame || !s->bits) {
    CloseSoundFile(s);
    return ERR_STREAMASSAMPLE;
  }
  if (s->formatCode < 0) {
    CloseSoundFile(s);
    return ERR_8OR16BITONLY;
  }
  auto* d = static_cast<AudioDescriptor*>(AllocMemory(sizeof(AudioDescriptor), 1));
  uint8_t* data = static_cast<uint8_t*>(AllocMemory(s->byteLength, 0));
  if (!d || !data) {
    FreeMemory(d);
    FreeMemory(data);
    CloseSoundFile(s);
    return ERR_MEM;
  }
  uint32_t got = DecodeSoundBlock(s, data, s->frames, nullptr);
  // A file that delivers fewer frames than it announced keeps silence for
  // the rest: the readers pad their block, a plug-in may not.
  if (got < s->frames)
    std::memset(data + static_cast<size_t>(got) * s->bytesPerFrame, s->formatCode <= 1 ? 128 : 0,
                static_cast<size_t>(s->frames - got) * s->bytesPerFrame);
  *d = {data,        s->byteLength, s->frames,     s->bits, s->bytesPerFrame,
        s->channels, s->flags,      s->formatCode, s->rate};
  *sample = d;
  if (length) *length = s->byteLength;
  if (rate) *rate = s->rate;
  if (format) *format = s->formatCode;
  CloseSoundFile(s);
  return ERR_NONE;
}

void FreeAudioDescriptor(AudioDescriptor* sample) {
  if (!sample) return;
  FreeMemory(sample->data);
  FreeMemory(sample);
}

ErrorCode OpenMusicStream(const char* fileName, const char* loader, const char* adapter,
                          int32_t subsong, int32_t* what, void** source, int32_t* seekable,
                          int32_t* subsongs, PluginBase** plugin) {
  SoundStream* s = nullptr;
  ErrorCode error = OpenSoundFile(fileName, loader, adapter, subsong, 1, &s, plugin);
  if (error) return error;
  if (s->readerKind != SOUNDKIND_MODULE) {
    *what = 1;
    *source = s;
    if (seekable) *seekable = s->seekable;
    if (subsongs) *subsongs = s->subsongCount;
    return ERR_NONE;
  }
  auto* f = static_cast<StreamHandle*>(s->source);
  int64_t size = GetStreamSize(f);
  if (size <= 0 || static_cast<uint64_t>(size) > SIZE_MAX / 2) {
    CloseSoundFile(s);
    return refuseName(fileName);
  }
  OwnedMemory<uint8_t> image(static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(size), 0)));
  if (!image) {
    CloseSoundFile(s);
    return ERR_MEM;
  }
  bool read = SeekFileStream(f, 0, 1) >= 0 &&
              ReadStream(f, image.get(), static_cast<size_t>(size)) == static_cast<size_t>(size);
  CloseSoundFile(s);
  if (!read) {
    SetErrorArgString(fileName);
    return ERR_READFILE;
  }
  size_t need = ModInit(nullptr, image.get(), static_cast<size_t>(size), MOD_OUTPUT_RATE);
  if (!need) return refuseName(fileName);
  auto* player = static_cast<ModPlayer*>(AllocMemory(need, 1));
  if (!player) return ERR_MEM;
  if (!ModInit(player, image.get(), static_cast<size_t>(size), MOD_OUTPUT_RATE)) {
    FreeMemory(player);
    return refuseName(fileName);
  }
  image.release();
  *what = 2;
  *source = player;
  if (seekable) *seekable = 0;
  if (subsongs) *subsongs = 1;
  return ERR_NONE;
}

void CloseMusicStream(int32_t what, void* source) {
  if (what == 2 && source) {
    size_t size = 0;
    FreeMemory(ModGetImage(static_cast<ModPlayer*>(source), &size));
    FreeMemory(source);
  } else if (what == 1) {
    CloseSoundFile(static_cast<SoundStream*>(source));
  }
}

ErrorCode CreateMusicStream(VmState*, int32_t rate, int32_t format, int32_t* what, void** source) {
  if (format < 2 || format > 5 || rate <= 0) return ERR_WRONGUSAGE;
  auto* s = static_cast<SoundStream*>(AllocMemory(sizeof(SoundStream), 1));
  if (!s) return ERR_MEM;
  s->queueLock = AllocMutex();
  if (!s->queueLock) {
    FreeMemory(s);
    return ERR_SEMAPHORE;
  }
  s->readerKind = SOUNDKIND_CUSTOM;
  s->seekable = 0;
  s->openFlag = 1;
  s->subsongCount = 1;
  s->rate = rate;
  s->bits = format >= 4 ? 16 : 8;
  s->channels = (format & 1) ? 2 : 1;
  s->flags = format >= 4 ? SOUNDFLAG_SIGNED : 0;
  s->bytesPerFrame = s->outputBytesPerFrame = s->bits / 8 * s->channels;
  s->framesPerUnit = 1;
  // Script 8-bit data is unsigned: its stream format is 0 or 1, and a dry
  // queue plays 128.
  s->formatCode = formatCodeOf(s->channels, s->bits, s->flags);
  s->queueFormat = {rate, s->bits, s->channels, s->bytesPerFrame, format};
  s->byteLength = s->frames = s->streamFrames = ENDLESS;
  *what = 1;
  *source = s;
  return ERR_NONE;
}

ErrorCode QueueMusicFrames(SoundStream* s, const void* data, uint32_t frames) {
  size_t bytes = static_cast<size_t>(frames) * s->bytesPerFrame;
  auto* b = static_cast<QueuedSoundBuffer*>(AllocMemory(sizeof(QueuedSoundBuffer) + bytes, 1));
  if (!b) return ERR_MEM;
  b->frames = frames;
  if (bytes) std::memcpy(b + 1, data, bytes);
  LockMutex(s->queueLock);
  if (s->queueTail)
    s->queueTail->next = b;
  else
    s->queueHead = b;
  s->queueTail = b;
  s->queuedFrames += frames;
  UnlockMutex(s->queueLock);
  return ERR_NONE;
}
