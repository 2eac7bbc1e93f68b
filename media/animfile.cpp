// The anim file layer: one handle over every anim reader. Opening asks the
// anim plug-ins first, then identifies the file for the built-in IFF ANIM,
// GIF and AVI readers, then the platform's native loader; frames, delays and
// closing are sent to whichever took the file.
//
// Invariant: a handle exists only for a file that a reader opened, and a
// failed open leaves neither a stream, a reader nor a handle behind.
#include <cstring>

#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "plugins/plugins.h"

namespace {

constexpr size_t IDENTIFY_BYTES = 12;
constexpr int32_t JIFFIES_PER_SECOND = 60;  // IFF ANIM delays

bool admits(const char* loader, const char* name) { return IsLoaderAllowed(loader, name, 0); }

}  // namespace

ErrorCode OpenAnimFile(const char* fileName, const char* loader, const char* adapter,
                       int32_t deinterlace, int32_t loadTransparency, AnimFile** anim,
                       int32_t* width, int32_t* height, int32_t* frameCount, int32_t* hasAlpha,
                       int32_t* loaderIndex, PluginBase** loaderPlugin) {
  *anim = nullptr;
  if (hasAlpha) *hasAlpha = 0;
  if (loaderPlugin) *loaderPlugin = nullptr;
  int32_t w = 0, h = 0, frames = 0;

  QmAnimOpenRecord record{};
  record.adapter = adapter;
  record.flags = loadTransparency ? 1 : 0;
  PluginBase* plugin = nullptr;
  void* handle = nullptr;
  ErrorCode error = OpenAnimPlugin(fileName, loader, &record, &plugin, &handle);
  if (error) return error;
  if (handle) {
    auto* file = static_cast<AnimFile*>(AllocMemory(sizeof(AnimFile), 1));
    if (!file) {
      CloseAnimPlugin(plugin, handle);
      return ERR_MEM;
    }
    *file = {handle, ANIMFILE_PLUGIN, 0, plugin};
    *anim = file;
    *width = record.width;
    *height = record.height;
    *frameCount = record.frameCount;
    if (hasAlpha) *hasAlpha = record.hasAlpha != 0;
    if (loaderIndex) *loaderIndex = 2;
    if (loaderPlugin) *loaderPlugin = plugin;
    return 0;
  }

  uint32_t kind = ANIMFILE_NONE;
  StreamHandle* stream = nullptr;
  if (admits(loader, "inbuilt")) {
    stream = OpenFileStream(fileName, STREAM_READ | STREAM_ADAPTERS, adapter);
    if (!stream) {
      SetErrorArgString(fileName);
      return ERR_READFILE;
    }
    if (IsStreamNoSeek(stream)) {
      CloseFileStream(stream);
      return ERR_SEEKFILE;
    }
    uint8_t b[IDENTIFY_BYTES];
    if (ReadStream(stream, b, sizeof b) != sizeof b) {
      CloseFileStream(stream);
      return ERR_READ;
    }
    if (std::memcmp(b, "FORM", 4) == 0 && std::memcmp(b + 8, "ANIM", 4) == 0)
      kind = ANIMFILE_IFF;
    else if (std::memcmp(b, "GIF87", 5) == 0 || std::memcmp(b, "GIF89", 5) == 0)
      kind = ANIMFILE_GIF;
    else if (std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "AVI ", 4) == 0)
      kind = ANIMFILE_AVI;
    if (kind == ANIMFILE_NONE || SeekFileStream(stream, 0, 1) < 0) {
      CloseFileStream(stream);
      stream = nullptr;
      kind = ANIMFILE_NONE;
    }
  }

  auto* file = static_cast<AnimFile*>(AllocMemory(sizeof(AnimFile), 1));
  if (!file) {
    CloseFileStream(stream);
    return ERR_MEM;
  }
  // Each reader owns the stream from here on and closes it when it fails.
  switch (kind) {
    case ANIMFILE_IFF:
      file->reader = OpenIffAnimFile(stream, deinterlace, &w, &h, &frames, loadTransparency);
      break;
    case ANIMFILE_GIF:
      file->reader = OpenGifReader(stream, &w, &h, &frames, 0, 0, loadTransparency);
      break;
    case ANIMFILE_AVI:
      file->reader = OpenAviAnimFile(stream, &w, &h, &frames);
      break;
  }
  if (!file->reader && admits(loader, "native")) {
    file->reader = NativeAnimOpenStub(fileName);
    kind = ANIMFILE_NATIVE;
  }
  if (!file->reader) {
    FreeMemory(file);
    SetErrorArgString(fileName);
    return ERR_OPENANIM2;
  }
  file->kind = kind;
  *anim = file;
  *width = w;
  *height = h;
  *frameCount = frames;
  if (loaderIndex) *loaderIndex = kind == ANIMFILE_NATIVE ? 1 : 0;
  return 0;
}

uint32_t* GetAnimFileFrame(AnimFile* anim, int32_t index, int32_t loadAlpha,
                           int32_t* hasTransparency) {
  if (hasTransparency) *hasTransparency = 0;
  switch (anim->kind) {
    case ANIMFILE_IFF:
      return GetIffAnimFrame(static_cast<IffAnimReader*>(anim->reader), index, hasTransparency);
    case ANIMFILE_GIF:
      return ReadGifFrame(static_cast<GifReader*>(anim->reader), index, hasTransparency);
    case ANIMFILE_AVI:
      return GetAviAnimFrame(static_cast<AviAnimReader*>(anim->reader), index);
    case ANIMFILE_NATIVE:
      return nullptr;  // the native loader hands out no frames here
    case ANIMFILE_PLUGIN: {
      QmAnimFrameRecord record{};
      record.loadAlpha = loadAlpha;
      record.flags = anim->flags & 1;
      uint32_t* frame = LoadAnimPluginFrame(anim->plugin, anim->reader, index, &record);
      if (frame && record.transparent && hasTransparency) *hasTransparency = 1;
      return frame;
    }
  }
  return nullptr;
}

void FreeAnimFileFrame(AnimFile* anim, uint32_t* frame) {
  if (!frame) return;
  if (anim->kind == ANIMFILE_PLUGIN)
    FreeAnimPluginFrame(anim->plugin, frame);
  else
    FreeMemory(frame);
}

int32_t GetAnimFileFrameDelay(AnimFile* anim, int32_t index) {
  switch (anim->kind) {
    case ANIMFILE_IFF: {
      const int64_t jiffies =
          GetIffAnimFrameDelay(static_cast<IffAnimReader*>(anim->reader), index);
      return static_cast<int32_t>((jiffies * 1000 + JIFFIES_PER_SECOND / 2) / JIFFIES_PER_SECOND);
    }
    case ANIMFILE_GIF:
      return GetGifFrameDelay(static_cast<GifReader*>(anim->reader), index);
    case ANIMFILE_PLUGIN:
      return GetAnimPluginFrameDelay(anim->plugin, anim->reader, index);
    case ANIMFILE_NATIVE:
      return NativeAnimFrameDelayStub(anim->reader, index);
  }
  return 0;
}

void CloseAnimFile(AnimFile* anim) {
  if (!anim) return;
  switch (anim->kind) {
    case ANIMFILE_IFF:
      CloseIffAnimFile(static_cast<IffAnimReader*>(anim->reader));
      break;
    case ANIMFILE_GIF:
      CloseGifReader(static_cast<GifReader*>(anim->reader));
      break;
    case ANIMFILE_AVI:
      CloseAviAnimFile(static_cast<AviAnimReader*>(anim->reader));
      break;
    case ANIMFILE_NATIVE:
      NativeAnimCloseStub(anim->reader);
      break;
    case ANIMFILE_PLUGIN:
      CloseAnimPlugin(anim->plugin, anim->reader);
      break;
  }
  FreeMemory(anim);
}

int32_t IsAnimFile(const char* fileName, const char* loader, const char* adapter) {
  AnimFile* anim = nullptr;
  int32_t w, h, frames;
  if (OpenAnimFile(fileName, loader, adapter, DEINTERLACE_DEFAULT, 0, &anim, &w, &h, &frames,
                   nullptr, nullptr, nullptr) != 0)
    return 0;
  const bool still = anim->kind == ANIMFILE_GIF && frames < 2;
  CloseAnimFile(anim);
  return still ? 0 : 1;
}

bool IsIffAnimFile(const AnimFile* anim) { return anim && anim->kind == ANIMFILE_IFF; }
