// Saver plug-ins: the search of a format id among the saver formats that
// enabled plug-ins registered, and the single-call savers of pictures and
// samples. The anim savers' stream calls are in animsaver.cpp.
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"

namespace {

bool hasSaveImage(PluginBase* base) { return PluginEntryOf(base, PE_SaveImage) != nullptr; }
bool hasSaveSample(PluginBase* base) { return PluginEntryOf(base, PE_SaveSample) != nullptr; }

}  // namespace

ErrorCode FindSaverFormat(uint32_t capability, int32_t formatId, bool (*usable)(PluginBase* base),
                          ErrorCode notFound, SaverFormat* out) {
  *out = SaverFormat{};
  for (const PluginEntry* e = GetPluginList(); e; e = e->next) {
    if (!e->handle || !(e->capabilities & capability)) continue;
    PluginBase* base = GetPluginBase(e->handle);
    if (!base || base->disabled || IsBridgedPlugin(base) || !usable(base)) continue;
    int32_t count = 0;
    const SaverFormatEntry* formats = GetPluginSaverFormats(base, capability, &count);
    for (int32_t i = 0; formats && i < count; i++) {
      if (formats[i].formatId != formatId) continue;
      out->base = base;
      out->index = i;
      out->flags = formats[i].flags;
      return ERR_NONE;
    }
  }
  return notFound;
}

ErrorCode FindImageSaverFormat(int32_t formatId, SaverFormat* out) {
  return FindSaverFormat(PLUGINCAPS_SAVEIMAGE, formatId, hasSaveImage, ERR_UNKNOWNIMGOUT, out);
}

ErrorCode CallImageSaver(const SaverFormat* format, const char* file, QmImageSaveRequest* request) {
  auto save = reinterpret_cast<QmSaveImageFunc>(PluginEntryOf(format->base, PE_SaveImage));
  return save(file, request) ? ERR_NONE : ERR_SAVEIMAGE;
}

ErrorCode FindSampleSaverFormat(int32_t formatId, SaverFormat* out) {
  return FindSaverFormat(PLUGINCAPS_SAVESAMPLE, formatId, hasSaveSample, ERR_UNKNOWNSMPOUT, out);
}

ErrorCode CallSampleSaver(const SaverFormat* format, const char* file,
                          QmSampleSaveRequest* request) {
  auto save = reinterpret_cast<QmSaveSampleFunc>(PluginEntryOf(format->base, PE_SaveSample));
  return save(file, request) ? ERR_NONE : ERR_SAVESAMPLE;
}
