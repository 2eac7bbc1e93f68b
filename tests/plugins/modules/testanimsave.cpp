// Test plug-in "testanimsave": an anim saver with two formats, 200 "qmtp"
// (palette frames only) and 201 "qmtt" (true colour with alpha). The file
// it writes is a plain record of what the host handed over: "QMTS", then
// width, height, mode, quality and fps; per frame "FRAM", format id, flags,
// bytes per row, colour count, transparent pen and delay (int32 each), the
// pixel rows and, for a palette frame, the colour table; "END!" when the
// stream is finished. A file named "...refuse..." is refused at the start,
// a frame with delay 666 is refused.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "plugins/qmplugin.h"

namespace {

struct Stream {
  FILE* file;
  int32_t height;
};

void put(FILE* f, int32_t v) { fwrite(&v, sizeof v, 1, f); }

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi*, const char*) {
  base->capabilities = PLUGINCAPS_SAVEANIM;
  base->version = 1;
  base->moduleName = "testanimsave";
  return 1;
}

void ClosePlugin() {}

uint32_t RegisterAnimSaver(SaverFormatEntry* entry) {
  static int next = 0;
  const bool first = next == 0;
  entry->formatId = first ? 200 : 201;
  entry->formatName = first ? "qmtp" : "qmtt";
  next = (next + 1) % 2;
  return first ? QM_SAVER_MORE_ANIM : QM_SAVER_TRUECOLOR | QM_SAVER_ALPHA;
}

void* BeginAnimStream(const char* file, int32_t width, int32_t height, uint32_t mode,
                      int32_t quality, int32_t fps) {
  if (strstr(file, "refuse")) return nullptr;
  FILE* f = fopen(file, "wb");
  if (!f) return nullptr;
  fwrite("QMTS", 1, 4, f);
  for (int32_t v : {width, height, static_cast<int32_t>(mode), quality, fps}) put(f, v);
  return new Stream{f, height};
}

int32_t WriteAnimFrame(void* handle, QmAnimSaveFrame* frame) {
  auto* s = static_cast<Stream*>(handle);
  if (frame->delay == 666) return 0;
  fwrite("FRAM", 1, 4, s->file);
  for (int32_t v : {frame->formatId, static_cast<int32_t>(frame->flags), frame->bytesPerRow,
                    frame->colourCount, frame->transparentPen, frame->delay})
    put(s->file, v);
  fwrite(frame->pixels, static_cast<size_t>(frame->bytesPerRow), static_cast<size_t>(s->height),
         s->file);
  if (frame->palette)
    fwrite(frame->palette, sizeof(uint32_t), static_cast<size_t>(frame->colourCount), s->file);
  return 1;
}

void FinishAnimStream(void* handle) {
  auto* s = static_cast<Stream*>(handle);
  fwrite("END!", 1, 4, s->file);
  fclose(s->file);
  delete s;
}

}  // extern "C"
