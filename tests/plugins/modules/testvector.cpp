// Test plug-in "testvector": a vector engine that records the requests it
// gets and answers with fixed results: extents (1, 2, 21, 12) for a fill
// and one pixel more on each side for a stroke, and a coverage of 128
// everywhere in the target. TestVectorLog() gives the log; built with
// TESTVECTOR_BRIDGED it declares itself of the bridged kind.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "plugins/qmplugin.h"

namespace {

std::string log;

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  log += line;
  log += '\n';
}

int32_t firstKind(const void* items) {
  int32_t kind;
  std::memcpy(&kind, items, 4);
  return kind;
}

int handles = 0;

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi*, const char*) {
  base->capabilities = PLUGINCAPS_VECTOR;
  base->version = 1;
#ifdef TESTVECTOR_BRIDGED
  base->moduleName = "testvectorbridged";
  base->kind = PLUGIN_KIND_BRIDGED;
#else
  base->moduleName = "testvector";
#endif
  return 1;
}

void ClosePlugin() {}

int GetPathExtents(QmPathExtentsRequest* r) {
  note("extents kind=%d fill=%d width=%d join=%d cap=%d rule=%d matrix=%g,%g,%g,%g",
       firstKind(r->items), r->fill, r->lineWidth, r->style->join, r->style->cap,
       r->style->fillRule, r->matrix[0], r->matrix[1], r->matrix[2], r->matrix[3]);
  int grow = r->fill ? 0 : 1;
  r->x1 = 1 - grow;
  r->y1 = 2 - grow;
  r->x2 = 21 + grow;
  r->y2 = 12 + grow;
  return 1;
}

int DrawPath(QmDrawPathRequest* r) {
  note("draw kind=%d fill=%d size=%dx%d reserved=%d", firstKind(r->items), r->fill, r->width,
       r->height, r->reserved);
  for (int32_t y = 0; y < r->height; ++y)
    std::memset(r->target + y * r->bytesPerRow, 128, r->width);
  return 1;
}

void TranslatePath(void*, double dx, double dy) { note("translate %g %g", dx, dy); }

int GetCurrentPoint(QmPathPointRequest* r) {
  note("point");
  r->x = 7;
  r->y = 8;
  return 1;
}

void* CreateVectorFont(void* face) {
  ++handles;
  note("font");
  return face;
}
void FreeVectorFont(void*) { --handles; }
void* OpenFont(const void*, size_t) { return nullptr; }
void CloseFont(void*) {}

const char* TestVectorLog() { return log.c_str(); }
void TestVectorClearLog() { log.clear(); }
int TestVectorHandles() { return handles; }

}  // extern "C"
