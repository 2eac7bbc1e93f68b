// Anim saver plug-ins: the search of a format id among the saver formats
// that enabled plug-ins registered, and the calls into the plug-in that
// owns it. A plug-in whose calls go through the call bridge is never used:
// the bridge answers 0 on this platform, which no stream can survive.
//
// Invariant: every call after BeginAnimStream goes to the plug-in that
// returned the handle, and a plug-in without one of the three stream entry
// points owns no format.
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"

namespace {

bool hasStreamEntries(PluginBase* base) {
  return PluginEntryOf(base, PE_BeginAnimStream) && PluginEntryOf(base, PE_WriteAnimFrame) &&
         PluginEntryOf(base, PE_FinishAnimStream);
}

}  // namespace

ErrorCode FindAnimSaverFormat(int32_t formatId, AnimSaverFormat* out) {
  return FindSaverFormat(PLUGINCAPS_SAVEANIM, formatId, hasStreamEntries, ERR_UNKNOWNANMOUT, out);
}

void* BeginAnimSaverStream(const AnimSaverFormat* format, const char* file, int32_t width,
                           int32_t height, uint32_t mode, int32_t quality, int32_t fps) {
  auto begin =
      reinterpret_cast<QmBeginAnimStreamFunc>(PluginEntryOf(format->base, PE_BeginAnimStream));
  return begin(file, width, height, mode, quality, fps);
}

int32_t WriteAnimSaverFrame(PluginBase* base, void* handle, QmAnimSaveFrame* frame) {
  auto write = reinterpret_cast<QmWriteAnimFrameFunc>(PluginEntryOf(base, PE_WriteAnimFrame));
  return write(handle, frame);
}

void FinishAnimSaverStream(PluginBase* base, void* handle) {
  reinterpret_cast<QmFinishAnimStreamFunc>(PluginEntryOf(base, PE_FinishAnimStream))(handle);
}
