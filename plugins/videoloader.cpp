// Video plug-ins: the walk of the video loader list that offers a file to
// the plug-ins a loader string admits and whose declared extensions (if
// any) include the file's.
//
// Invariant: a plug-in is asked only when it has every entry point, so the
// caller can call each without a test.
#include <cstring>
#include <strings.h>

#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

// Whether the file's extension is in a '|'-separated list (any case).
bool extensionListed(const char* file, const char* list) {
  const char* dot = std::strrchr(file, '.');
  const char* slash = std::strrchr(file, '/');
  if (!dot || (slash && dot < slash)) return false;
  const size_t n = std::strlen(dot + 1);
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, '|');
    const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == n && strncasecmp(p, dot + 1, n) == 0) return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

bool skipVideoLoader(PluginBase* base, const char* loaders, const char* file) {
  if (base->disabled || IsBridgedPlugin(base)) return true;
  if (!IsLoaderAllowed(loaders, base->moduleName, 1)) return true;
  if (base->mustBeNamed && !IsLoaderNamed(loaders, base->moduleName)) return true;
  auto extensions =
      reinterpret_cast<QmGetVideoExtensionsFunc>(PluginEntryOf(base, PE_GetVideoExtensions));
  const char* list = extensions ? extensions() : nullptr;
  return list && *list && !extensionListed(file, list);
}

template <class T>
T entry(PluginBase* base, PluginEntryIndex index) {
  return reinterpret_cast<T>(PluginEntryOf(base, index));
}

bool readEntries(PluginBase* base, VideoPluginEntries* e) {
  *e = VideoPluginEntries{
      entry<QmOpenVideoFunc>(base, PE_OpenVideo),
      entry<QmCloseVideoFunc>(base, PE_CloseVideo),
      entry<QmNextPacketFunc>(base, PE_NextPacket),
      entry<QmFreePacketFunc>(base, PE_FreePacket),
      entry<QmDecodeVideoFrameFunc>(base, PE_DecodeVideoFrame),
      entry<QmDecodeAudioFrameFunc>(base, PE_DecodeAudioFrame),
      entry<QmSeekVideoFunc>(base, PE_SeekVideo),
      entry<QmFlushVideoFunc>(base, PE_FlushAudio),
      entry<QmFlushVideoFunc>(base, PE_FlushVideo),
      entry<QmGetVideoFramesFunc>(base, PE_GetVideoFrames),
      entry<QmGetVideoFormatFunc>(base, PE_GetVideoFormat),
  };
  return e->open && e->close && e->nextPacket && e->freePacket && e->decodeVideo &&
         e->decodeAudio && e->seek && e->flushAudio && e->flushVideo && e->frameCount &&
         e->formatName;
}

}  // namespace

ErrorCode OpenVideoPlugin(const char* name, const char* loaders, const QmVideoFormat* preset,
                          QmVideoFormat* format, PluginBase** base, void** handle,
                          VideoPluginEntries* entries) {
  *base = nullptr;
  *handle = nullptr;
  if (ErrorCode error = CollectLoaderPlugins(loaders, PLUGINCAPS_VIDEO)) return error;
  for (LoaderNode* n = GetPluginListForType(PLUGINCAPS_VIDEO); n; n = n->next) {
    PluginBase* candidate = n->base;
    if (skipVideoLoader(candidate, loaders, name) || !readEntries(candidate, entries)) continue;
    *format = *preset;
    void* opened = entries->open(name, format);
    if (!opened) continue;
    *base = candidate;
    *handle = opened;
    return ERR_NONE;
  }
  return ERR_NONE;
}
