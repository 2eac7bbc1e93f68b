// Test plug-in "testdisplay": a headless display adapter. Every window it
// opens is a framebuffer of 0xRRGGBB words that BltBitMap, RectFill,
// WritePixel, Line and Cls write; tests read the pixels back and the last
// arguments of each hook through the TestDisplay* functions. VWait and
// Sleep count their calls and return at once; the monitor list is two
// monitors (0,0 1920x1080 and 1920,0 1280x1024) and the mode list three
// modes. With QM_TESTDISPLAY_CAPTURE naming a directory, CloseDisplay
// writes the window's framebuffer there as "window<n>.pam". With
// QM_TESTDISPLAY_INPUT naming a file of lines "kind word1 word2 ...", each
// poll injects the next line as a host event of the newest open window
// (the window handle is its first word).
//
// Windows stay readable after CloseDisplay until the plug-in closes.
//
// Built with TESTDISPLAY_HW it is "testdisplayhw": it also makes video
// bitmaps and owns every other bitmap (flags 0x10 and 0x20), keeps pixels
// in format 13 (0xAABBGGRR), draws fills, pixels, lines and all three
// blits into its bitmaps itself, and runs the script's main chunk from
// AdapterMainLoop (which leaves a file "mainloop" in the capture
// directory). TestDisplayRefuse makes its locks or pixel reads fail.
// It double-buffers windows (QM_ADAPTER_DOUBLEBUFFERS, unless
// QM_TESTDISPLAY_NODOUBLEBUFFER is set when it is loaded): between
// BeginDoubleBuffer and EndDoubleBuffer drawing goes into the window's back
// pixels, and TestDisplayPixel reads what the last Flip showed.
// TestDisplaySetBitmapFlags changes which bitmap flags it grants; at load
// QM_TESTDISPLAY_BITMAPFLAGS (a number) sets its first capability word,
// whose bits 0x10 and 0x20 grant bitmap flags 512 and 1024: it then
// draws the transform and the opacity that a blit's parameters carry
// (TestDisplayLastBlitParams tells the last ones it received).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "plugins/qmplugin.h"

#ifndef TESTDISPLAY_FLAGS
#define TESTDISPLAY_FLAGS (QM_ADAPTER_SLEEPS | QM_ADAPTER_VWAITS | QM_ADAPTER_MONITORS)
#endif
#ifndef TESTDISPLAY_NAME
#define TESTDISPLAY_NAME "testdisplay"
#endif

namespace {

struct Window {
  int32_t serial;
  std::string title;
  int32_t x, y, width, height;
  uint32_t flags;
  bool open;
  std::vector<uint32_t> pixels;
  bool minimised = false;
  // While double-buffered: what the window shows; pixels is drawn into.
  bool buffered = false;
  std::vector<uint32_t> shown = {};
  int32_t pointerX = -1, pointerY = -1;
};

// A bitmap of the adapter: kind 0 pixels (format 13, or 10 for testdisplay),
// 1 alpha channel, 2 mask; rows as the host lays out software bitmaps. The
// bytes are its own or the caller's (external).
struct Bitmap {
  int32_t kind, width, height, bytesPerRow;
  bool video, hasAlpha;
  std::vector<uint8_t> own;
  uint8_t* external;
  uint8_t* data() { return external ? external : own.data(); }
  uint32_t* row32(int32_t y) {
    return reinterpret_cast<uint32_t*>(data() + static_cast<size_t>(y) * bytesPerRow);
  }
};

// A pointer image as CreatePointer received it.
struct Pointer {
  std::vector<uint32_t> pixels;
  int32_t width, height, hotX, hotY;
};

struct State {
  const PluginHostApi* host = nullptr;
  std::set<Pointer*> pointers;
  Pointer* lastPointer = nullptr;
  void* setPointer = nullptr;  // SetPointer's last pointer argument
  int32_t pointerSets = 0, pointerVisible = 1;
  std::vector<Window*> windows;
  int32_t vwaits = 0, sleeps = 0, blits = 0, fills = 0, closes = 0, polls = 0, waits = 0;
  int32_t lastVWaitFrame = -1, lastSleep = -1;
  uint32_t lastBorderFlags = 0;
  QmBlitRequest lastBlit = {};
  QmBlitParams lastParams = {};
  int32_t paramBlits = 0;
  int32_t lastFill[6] = {};
  int32_t installResult = -1;
  std::vector<std::vector<uintptr_t>> input;  // kind, then its words
  size_t nextInput = 0;
  bool inputRead = false;
  std::set<Bitmap*> bitmaps;
  int32_t bitmapsMade = 0, locks = 0, unlocks = 0, methods = 0, mainLoops = 0;
  bool refuseLocks = false, refuseReads = false;
  PluginBase* base = nullptr;
  int32_t begins = 0, ends = 0, flips = 0, lastFlipSync = -1;
};
State* state = nullptr;

const QmMonitorInfo MONITORS[] = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}, {0, 0, 0, 0}};
const QmScreenMode MODES[] = {
    {640, 480, 32, {0, 0}}, {1280, 1024, 32, {0, 0}}, {1920, 1080, 32, {0, 0}}, {0, 0, 0, {0, 0}}};

#ifdef TESTDISPLAY_HW
constexpr uint32_t PIXEL_FORMAT = 13;
#else
constexpr uint32_t PIXEL_FORMAT = 10;
#endif

Bitmap* bitmapOf(void* handle) {
  if (!state) return nullptr;
  auto it = state->bitmaps.find(static_cast<Bitmap*>(handle));
  return it == state->bitmaps.end() ? nullptr : *it;
}

// 0xAARRGGBB <-> a stored pixel of PIXEL_FORMAT (format 13 swaps R and B).
uint32_t toStored(uint32_t argb) {
  if (PIXEL_FORMAT != 13) return argb;
  return (argb & 0xFF00FF00u) | ((argb >> 16) & 0xFF) | ((argb & 0xFF) << 16);
}
uint32_t fromStored(uint32_t v) { return toStored(v); }

Bitmap* newBitmap(int32_t kind, int32_t width, int32_t height, int32_t rowPixels, uint8_t* memory,
                  int32_t memoryRow) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
  int32_t row = kind == 0   ? ((width + 3) & ~3) * 4
                : kind == 1 ? (width + 3) & ~3
                            : ((rowPixels + 15) >> 3) & ~1;
  auto* b = new Bitmap{kind, width, height, memory ? memoryRow : row, false, false, {}, memory};
  if (!memory) b->own.assign(static_cast<size_t>(b->bytesPerRow) * height, 0);
  state->bitmaps.insert(b);
  state->bitmapsMade++;
  return b;
}

void freeBitmap(void* handle) {
  Bitmap* b = bitmapOf(handle);
  if (!b) return;
  state->bitmaps.erase(b);
  delete b;
}

bool maskBit(const uint8_t* row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

Window* windowOf(void* handle) {
  if (!state) return nullptr;
  for (Window* w : state->windows)
    if (w == handle) return w;
  return nullptr;
}

void put(Window* w, int32_t x, int32_t y, uint32_t rgb) {
  if (x < 0 || y < 0 || x >= w->width || y >= w->height) return;
  w->pixels[static_cast<size_t>(y) * w->width + x] = rgb & 0xFFFFFF;
}

// A source pixel as 0xRRGGBB; formats 10 (0xAARRGGBB) and 13 (0xAABBGGRR).
uint32_t sourcePixel(const QmPixelSource& s, int32_t x, int32_t y) {
  const auto* row = static_cast<const uint8_t*>(s.pixels) + static_cast<size_t>(y) * s.bytesPerRow;
  uint32_t p = reinterpret_cast<const uint32_t*>(row)[x];
  if (s.format == 13) p = (p & 0xFF00FF00u) | ((p >> 16) & 0xFF) | ((p & 0xFF) << 16);
  return p & 0xFFFFFF;
}

void (*vwaitHook)(void*) = nullptr;
void* vwaitHookData = nullptr;

void capture(const Window* w) {
  const char* dir = std::getenv("QM_TESTDISPLAY_CAPTURE");
  if (!dir || !*dir) return;
  std::string name = std::string(dir) + "/window" + std::to_string(w->serial) + ".pam";
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return;
  std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n", w->width,
               w->height);
  for (uint32_t p : w->buffered ? w->shown : w->pixels) {
    unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                            static_cast<unsigned char>(p)};
    std::fwrite(rgb, 1, 3, f);
  }
  std::fclose(f);
}

void readInput() {
  state->inputRead = true;
  const char* name = std::getenv("QM_TESTDISPLAY_INPUT");
  FILE* f = name && *name ? std::fopen(name, "r") : nullptr;
  if (!f) return;
  char line[512];
  while (std::fgets(line, sizeof line, f)) {
    std::vector<uintptr_t> words;
    char* at = line;
    for (;;) {
      char* end = nullptr;
      unsigned long long v = std::strtoull(at, &end, 0);
      if (end == at) break;
      words.push_back(static_cast<uintptr_t>(v));
      at = end;
    }
    if (!words.empty()) state->input.push_back(words);
  }
  std::fclose(f);
}

void* newestOpenWindow() {
  for (size_t i = state->windows.size(); i-- > 0;)
    if (state->windows[i]->open) return state->windows[i];
  return nullptr;
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  delete state;
  state = new State;
  state->host = api;
  state->base = base;
  base->capabilities = PLUGINCAPS_DISPLAYADAPTER;
  base->version = 1;
  base->moduleName = TESTDISPLAY_NAME;
  // Slots are stored as one generic function type; the cast goes through
  // void (*)() as the host's own does.
  auto install = reinterpret_cast<QmInstallDisplayAdapterFunc>(
      reinterpret_cast<void (*)()>(api->graphics->slot[QM_GFX_INSTALLDISPLAYADAPTER]));
#ifdef TESTDISPLAY_HW
  base->capabilities |= PLUGINCAPS_EXTENSION;
  base->adapterFlags2 = 0x10;  // video bitmaps, as the platform asks about them
  if (const char* granted = std::getenv("QM_TESTDISPLAY_BITMAPFLAGS"); granted && *granted)
    base->adapterFlags = static_cast<uint32_t>(std::strtoul(granted, nullptr, 0));
  QmTagItem tags[] = {
      {QM_ADAPTERTAG_WAKEINTERVAL, 5},
      {QM_ADAPTERTAG_DRAWCAPS, QM_DRAWCAP_BLIT | QM_DRAWCAP_MASKBLIT | QM_DRAWCAP_ALPHABLIT |
                                   QM_DRAWCAP_RECTFILL | QM_DRAWCAP_PIXEL | QM_DRAWCAP_LINE},
      {QM_ADAPTERTAG_PIXELFORMAT, PIXEL_FORMAT},
      {0, 0}};
#else
  QmTagItem tags[] = {{QM_ADAPTERTAG_WAKEINTERVAL, 5}, {0, 0}};
#endif
#ifdef TESTDISPLAY_HW
  const char* single = std::getenv("QM_TESTDISPLAY_NODOUBLEBUFFER");
  uint32_t buffers = single && *single ? 0 : QM_ADAPTER_DOUBLEBUFFERS;
  state->installResult = install(base, TESTDISPLAY_FLAGS | buffers, tags);
#else
  state->installResult = install(base, TESTDISPLAY_FLAGS, tags);
#endif
  return 1;
}

#ifdef TESTDISPLAY_HW
// Extension bit 0 of the display adapter: AdapterMainLoop.
uint32_t GetExtensions(uint32_t capability, uintptr_t) {
  return capability == PLUGINCAPS_DISPLAYADAPTER ? 1 : 0;
}
#endif

void ClosePlugin() {
  if (!state) return;
  for (Window* w : state->windows) delete w;
  for (Bitmap* b : state->bitmaps) delete b;
  for (Pointer* p : state->pointers) delete p;
  delete state;
  state = nullptr;
}

// ---- Test accessors ----

int32_t TestDisplayInstallResult() { return state ? state->installResult : -1; }
int32_t TestDisplayWindowCount() { return state ? static_cast<int32_t>(state->windows.size()) : 0; }
void* TestDisplayWindow(int32_t index) {
  if (!state || index < 0 || index >= static_cast<int32_t>(state->windows.size())) return nullptr;
  return state->windows[index];
}
// 0xRRGGBB, or -1 outside the framebuffer or for an unknown window.
int64_t TestDisplayPixel(void* handle, int32_t x, int32_t y) {
  Window* w = windowOf(handle);
  if (!w || x < 0 || y < 0 || x >= w->width || y >= w->height) return -1;
  return (w->buffered ? w->shown : w->pixels)[static_cast<size_t>(y) * w->width + x];
}
// OpenDisplay's arguments: x, y, width, height, flags, open; the title.
const char* TestDisplayOpenArgs(void* handle, int32_t* out) {
  Window* w = windowOf(handle);
  if (!w) return nullptr;
  out[0] = w->x;
  out[1] = w->y;
  out[2] = w->width;
  out[3] = w->height;
  out[4] = static_cast<int32_t>(w->flags);
  out[5] = w->open ? 1 : 0;
  return w->title.c_str();
}
// vwaits, sleeps, blits, fills, closes, polls, last VWait frame, last sleep.
void TestDisplayCounts(int32_t* out) {
  if (!state) return;
  int32_t values[] = {state->vwaits, state->sleeps, state->blits,          state->fills,
                      state->closes, state->polls,  state->lastVWaitFrame, state->lastSleep};
  std::memcpy(out, values, sizeof values);
}
// minimised, pointer x, pointer y of a window.
void TestDisplayWindowState(void* handle, int32_t* out) {
  Window* w = windowOf(handle);
  if (!w) return;
  out[0] = w->minimised ? 1 : 0;
  out[1] = w->pointerX;
  out[2] = w->pointerY;
}
// The newest pointer alive (null when none or freed): width, height, hot
// spot x and y into out, its pixels returned.
const uint32_t* TestDisplayLastPointer(int32_t* out) {
  Pointer* p = state ? state->lastPointer : nullptr;
  if (!p) return nullptr;
  out[0] = p->width;
  out[1] = p->height;
  out[2] = p->hotX;
  out[3] = p->hotY;
  return p->pixels.data();
}
// Pointers alive, SetPointer calls, visible flag; SetPointer's last
// argument returned.
void* TestDisplayPointerState(int32_t* out) {
  if (!state) return nullptr;
  out[0] = static_cast<int32_t>(state->pointers.size());
  out[1] = state->pointerSets;
  out[2] = state->pointerVisible;
  return state->setPointer;
}
int32_t TestDisplayWaits() { return state ? state->waits : 0; }
const QmBlitRequest* TestDisplayLastBlit() { return state ? &state->lastBlit : nullptr; }
// The parameters of the last blit that had them (its params pointer is
// gone after the call); the number of such blits returned.
int32_t TestDisplayLastBlitParams(QmBlitParams* out) {
  if (!state) return 0;
  *out = state->lastParams;
  return state->paramBlits;
}
// RectFill's last arguments: x, y, width, height, colour, flags.
void TestDisplayLastFill(int32_t* out) {
  if (state) std::memcpy(out, state->lastFill, sizeof state->lastFill);
}
// Bitmaps alive, bitmaps made, locks, unlocks, video methods, main loops.
void TestDisplayBitmapCounts(int32_t* out) {
  if (!state) return;
  int32_t values[] = {static_cast<int32_t>(state->bitmaps.size()),
                      state->bitmapsMade,
                      state->locks,
                      state->unlocks,
                      state->methods,
                      state->mainLoops};
  std::memcpy(out, values, sizeof values);
}
// Makes LockBitMap (locks) and ReadVideoPixels (reads) fail from now on.
void TestDisplayRefuse(int32_t locks, int32_t reads) {
  state->refuseLocks = locks != 0;
  state->refuseReads = reads != 0;
}
// The capability words that grant bitmap flags (PluginBase adapterFlags
// and adapterFlags2); testdisplayhw starts with 0 and 0x10 (video bitmaps).
void TestDisplaySetBitmapFlags(uint32_t flags, uint32_t flags2) {
  state->base->adapterFlags = flags;
  state->base->adapterFlags2 = flags2;
}
// BeginDoubleBuffer, EndDoubleBuffer and Flip calls, the last Flip's sync.
void TestDisplayBufferCounts(int32_t* out) {
  int32_t values[] = {state->begins, state->ends, state->flips, state->lastFlipSync};
  std::memcpy(out, values, sizeof values);
}
// A bitmap pixel as 0xAARRGGBB (alpha and mask bitmaps: the byte or bit);
// -1 outside it or for an unknown bitmap.
int64_t TestDisplayBitmapPixel(void* handle, int32_t x, int32_t y) {
  Bitmap* b = bitmapOf(handle);
  if (!b || x < 0 || y < 0 || x >= b->width || y >= b->height) return -1;
  const uint8_t* row = b->data() + static_cast<size_t>(y) * b->bytesPerRow;
  if (b->kind == 1) return row[x];
  if (b->kind == 2) return maskBit(row, x);
  return fromStored(b->row32(y)[x]);
}
// A function every VWait calls after counting (null: none): tests capture
// each frame of a running transition there.
void TestDisplaySetVWaitHook(void (*hook)(void*), void* data) {
  vwaitHook = hook;
  vwaitHookData = data;
}
// Injects a host event as the adapter's own thread or loop would.
int32_t TestDisplayInject(VmState* L, int32_t kind, const uintptr_t* words) {
  return state->host->system->postHostEvent(L, kind, words);
}

// ---- Adapter hooks ----

int32_t HandleEvents(VmState* L, uint32_t) {
  state->polls++;
  if (!state->inputRead) readInput();
  void* window = newestOpenWindow();
  if (!window || state->nextInput >= state->input.size()) return 0;
  const std::vector<uintptr_t>& line = state->input[state->nextInput++];
  uintptr_t words[16] = {reinterpret_cast<uintptr_t>(window)};
  for (size_t i = 1; i < line.size() && i < 16; i++) words[i] = line[i];
  state->host->system->postHostEvent(L, static_cast<int32_t>(line[0]), words);
  return 0;
}
int32_t WaitEvents(VmState*, int32_t) {
  state->waits++;
  return 0;
}
void ForceEventLoopIteration(uintptr_t) {}
void Sleep(VmState*, int32_t milliseconds) {
  state->sleeps++;
  state->lastSleep = milliseconds;
}
int32_t VWait(void*, const QmVWaitRequest* request) {
  state->vwaits++;
  state->lastVWaitFrame = request ? request->frame : -1;
  if (vwaitHook) vwaitHook(vwaitHookData);
  return 0;
}
int32_t DetermineBorderSizes(uint32_t flags, int32_t* left, int32_t* right, int32_t* top,
                             int32_t* bottom) {
  state->lastBorderFlags = flags;
  bool frame = !(flags & QM_DISPLAY_BORDERLESS);
  *left = *right = *bottom = frame ? 2 : 0;
  *top = frame ? 20 : 0;
  return 0;
}
void* OpenDisplay(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                  uint32_t flags, const QmTagItem*) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
  auto* w = new Window{static_cast<int32_t>(state->windows.size()),
                       title ? title : "",
                       x,
                       y,
                       width,
                       height,
                       flags,
                       true,
                       std::vector<uint32_t>(static_cast<size_t>(width) * height, 0)};
  state->windows.push_back(w);
  return w;
}
int32_t CloseDisplay(void* handle) {
  Window* w = windowOf(handle);
  if (!w) return 1;
  state->closes++;
  w->open = false;
  capture(w);
  return 0;
}
int32_t ChangeBufferSize(void*, int32_t, int32_t) { return 0; }
int32_t ShowHideDisplay(void* handle, int32_t show, uintptr_t) {
  Window* w = windowOf(handle);
  if (w) w->minimised = !show;
  return 0;
}
int32_t SizeMoveDisplay(void* handle, int32_t x, int32_t y, int32_t width, int32_t height,
                        uintptr_t, uintptr_t) {
  Window* w = windowOf(handle);
  if (!w) return 1;
  w->x = x;
  w->y = y;
  if (width > 0 && height > 0) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, 0);
    for (int32_t row = 0; row < height && row < w->height; row++)
      for (int32_t col = 0; col < width && col < w->width; col++)
        pixels[static_cast<size_t>(row) * width + col] =
            w->pixels[static_cast<size_t>(row) * w->width + col];
    w->pixels.swap(pixels);
    if (w->buffered) w->shown = w->pixels;
    w->width = width;
    w->height = height;
  }
  return 0;
}
int32_t SetDisplayTitle(void* handle, const char* title) {
  Window* w = windowOf(handle);
  if (w) w->title = title ? title : "";
  return 0;
}
int32_t ActivateDisplay(void*, int32_t) { return 0; }
int32_t SetDisplayAttributes(void*, const QmTagItem*) { return 0; }
void* CreatePointer(const uint32_t* pixels, int32_t width, int32_t height, int32_t hotX,
                    int32_t hotY) {
  if (!pixels || width < 1 || height < 1) return nullptr;
  auto* p = new Pointer{std::vector<uint32_t>(pixels, pixels + static_cast<size_t>(width) * height),
                        width, height, hotX, hotY};
  state->pointers.insert(p);
  state->lastPointer = p;
  return p;
}
void FreePointer(void* pointer) {
  auto* p = static_cast<Pointer*>(pointer);
  if (state->pointers.erase(p)) delete p;
  if (state->lastPointer == p) state->lastPointer = nullptr;
}
int32_t SetPointer(void*, void* pointer) {
  state->setPointer = pointer;
  state->pointerSets++;
  return 0;
}
int32_t ShowHidePointer(void*, int32_t visible) {
  state->pointerVisible = visible;
  return 0;
}
int32_t MovePointer(void* handle, int32_t x, int32_t y) {
  Window* w = windowOf(handle);
  if (w) {
    w->pointerX = x;
    w->pointerY = y;
  }
  return 0;
}
int32_t GetMousePos(void*, int32_t* x, int32_t* y) {
  *x = *y = 0;
  return 0;
}
uint32_t GetQualifiers(void*) { return 0; }
// A blit between bitmaps: the source is the adapter's (sourceBacking) or
// locked host memory (request->source); a mask or alpha channel is the
// adapter's (maskBacking) or host memory. Alpha blends each channel as
// (s * a + d * (255 - a) + 127) / 255.
int32_t bitmapBlit(void* sourceBacking, Bitmap* d, const QmBlitRequest* r, uint32_t flags) {
  Bitmap* s = bitmapOf(sourceBacking);
  if (!s && !r->source.pixels) return 1;
  Bitmap* plane = bitmapOf(r->maskBacking);
  bool isAlpha = flags & QM_BLITBMP_ALPHA;
  for (int32_t y = 0; y < r->height; y++) {
    for (int32_t x = 0; x < r->width; x++) {
      int32_t sx = r->srcX + x, sy = r->srcY + y, dx = r->dstX + x, dy = r->dstY + y;
      if (dx < 0 || dy < 0 || dx >= d->width || dy >= d->height) continue;
      uint32_t argb;
      if (s) {
        if (sx < 0 || sy < 0 || sx >= s->width || sy >= s->height) continue;
        argb = fromStored(s->row32(sy)[sx]);
      } else {
        if (sx < 0 || sy < 0 || sx >= r->source.width || sy >= r->source.height) continue;
        argb = sourcePixel(r->source, sx, sy);
      }
      int32_t level = 255;
      if (plane) {
        const uint8_t* row = plane->data() + static_cast<size_t>(sy) * plane->bytesPerRow;
        level = isAlpha ? row[sx] : maskBit(row, sx) * 255;
      } else if (isAlpha && r->alphaBytes) {
        level = r->alphaBytes[static_cast<size_t>(sy) * r->alphaBytesPerRow + sx];
      } else if (r->maskBits) {
        level = maskBit(r->maskBits + static_cast<size_t>(sy) * r->maskBytesPerRow, sx) * 255;
      }
      if (level == 0) continue;
      uint32_t& out = d->row32(dy)[dx];
      if (level < 255) {
        uint32_t old = fromStored(out), mixed = 0;
        for (int shift = 0; shift < 24; shift += 8) {
          uint32_t a = (argb >> shift) & 0xFF, b = (old >> shift) & 0xFF;
          mixed |= ((a * level + b * (255 - level) + 127) / 255) << shift;
        }
        argb = mixed;
      }
      out = toStored(argb & 0xFFFFFF);
    }
  }
  return 0;
}

// Which source pixel each pixel of a blit's box shows, by the rules the
// host's own software transform follows, so that the adapter draws what
// the host would: a pure scale steps columns in 16.16 fixed point and rows
// by an accumulated position; a quarter turn or a mirror of unit size moves
// whole pixels; any other matrix maps each box row back into the source,
// keeps the span of columns whose centres land inside it and shows the
// pixel under each column's corner mapped back (truncated, clamped). The
// box's origin is the least rounded corner of the transformed rectangle.
// Box pixels outside the span are left out: the host's transformed
// picture has them transparent, or black where the source has neither
// mask nor alpha channel.
struct BoxSampler {
  int32_t width = 0, height = 0, boxWidth = 0, boxHeight = 0;
  bool turned = false, scale = false, exact = false;
  double inverse[6] = {}, bounds[4] = {}, rowStep = 0, row = 0, ox = 0, oy = 0;
  int64_t columnStep = 0;
  int32_t firstRow = 0, lastRow = -1, firstColumn = 0, lastColumn = -1;

  // Narrows [lo, hi] to the columns X whose centre maps to slope x (X +
  // 0.5) + s0 within the size; false when the slope is flat and outside.
  static bool narrow(double slope, double s0, int32_t size, double* lo, double* hi) {
    constexpr double EPSILON = 1e-10;
    double from, to;
    if (slope > EPSILON) {
      from = std::ceil(-s0 / slope + EPSILON - 0.5);
      to = std::ceil((size - s0) / slope - EPSILON - 0.5);
    } else if (slope < -EPSILON) {
      from = std::ceil((size - s0) / slope + EPSILON - 0.5);
      to = std::ceil(-s0 / slope - EPSILON - 0.5);
    } else {
      return s0 >= 0 && s0 < size;
    }
    *lo = std::max(*lo, from);
    *hi = std::min(*hi, to);
    return true;
  }

  bool begin(const QmBlitRequest* r) {
    const QmBlitParams& p = *r->params;
    width = r->width;
    height = r->height;
    turned = p.flags & QM_BLITPARAM_TRANSFORM;
    boxWidth = turned ? p.boxWidth : width;
    boxHeight = turned ? p.boxHeight : height;
    if (!turned) return true;
    const double* m = p.matrix;
    scale = m[1] == 0 && m[2] == 0 && m[0] >= 0 && m[3] >= 0;
    if (scale) {
      if (boxWidth < 1 || boxHeight < 1) return false;
      float xs = static_cast<float>(width) / static_cast<float>(boxWidth);
      columnStep = static_cast<int64_t>(static_cast<double>(xs) * 65536.0);
      rowStep = static_cast<double>(static_cast<float>(height) / static_cast<float>(boxHeight));
      return true;
    }
    // The three unit turns and the two mirrors along an axis.
    const double whole[5][4] = {
        {0, -1, 1, 0}, {-1, 0, 0, -1}, {0, 1, -1, 0}, {-1, 0, 0, 1}, {1, 0, 0, -1}};
    for (const auto& w : whole)
      exact = exact || (m[0] == w[0] && m[1] == w[1] && m[2] == w[2] && m[3] == w[3]);
    const double cx[4] = {0, double(width), double(width), 0};
    const double cy[4] = {0, 0, double(height), double(height)};
    ox = oy = 1e300;
    for (int i = 0; i < 4; i++) {
      ox = std::min(ox, std::floor(m[0] * cx[i] + m[2] * cy[i] + 0.5));
      oy = std::min(oy, std::floor(m[1] * cx[i] + m[3] * cy[i] + 0.5));
    }
    const double det = m[0] * m[3] - m[2] * m[1];
    if (det == 0 || !std::isfinite(det)) return false;
    const double D = 1.0 / det, e = -ox, f = -oy;
    const double ia = m[3] * D, ib = -m[1] * D, ic = -m[2] * D, id = m[0] * D;
    const double in[6] = {ia, ib, ic, id, -e * ia - f * ic, -e * ib - f * id};
    std::copy(in, in + 6, inverse);
    bounds[0] = bounds[1] = 1e300;
    bounds[2] = bounds[3] = -1e300;
    for (int i = 0; i < 4; i++) {
      const double X = m[0] * cx[i] + m[2] * cy[i] + e, Y = m[1] * cx[i] + m[3] * cy[i] + f;
      bounds[0] = std::min(bounds[0], X);
      bounds[1] = std::min(bounds[1], Y);
      bounds[2] = std::max(bounds[2], X);
      bounds[3] = std::max(bounds[3], Y);
    }
    firstRow = bounds[1] >= 0 ? static_cast<int32_t>(std::ceil(bounds[1] - 0.5)) : 0;
    lastRow =
        std::min(boxHeight - 1,
                 static_cast<int32_t>(std::floor(std::min(bounds[3], boxHeight - 1.0) + 0.5)));
    return true;
  }
  // Called for the rows in order, each once before its columns.
  void nextRow(int32_t y) {
    if (y > 0) row += rowStep;
    if (!turned || scale || exact) return;
    firstColumn = 0;
    lastColumn = -1;
    if (y < firstRow || y > lastRow) return;
    double lo = bounds[0], hi = bounds[2];
    if (!narrow(inverse[0], inverse[2] * (y + 0.5) + inverse[4], width, &lo, &hi)) return;
    if (!narrow(inverse[1], inverse[3] * (y + 0.5) + inverse[5], height, &lo, &hi)) return;
    if (!(lo <= hi)) return;
    firstColumn = lo < 0 ? 0 : static_cast<int32_t>(std::ceil(lo - 0.5));
    lastColumn = std::min(boxWidth - 1,
                          static_cast<int32_t>(std::floor(std::min(hi, boxWidth - 1.0) + 0.5)));
  }
  // The source pixel of box pixel (x, y); false where the box shows none.
  bool at(int32_t x, int32_t y, int32_t* u, int32_t* v) const {
    if (!turned) {
      *u = x;
      *v = y;
      return true;
    }
    if (scale) {
      *u = static_cast<int32_t>(std::min<int64_t>((x * columnStep) >> 16, width - 1));
      *v = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(row), 0, height - 1));
      return true;
    }
    if (exact) {
      // The centre mapped back lands inside one source pixel exactly.
      const double px = x + 0.5, py = y + 0.5;
      *u = static_cast<int32_t>(std::floor(inverse[0] * px + inverse[2] * py + inverse[4]));
      *v = static_cast<int32_t>(std::floor(inverse[1] * px + inverse[3] * py + inverse[5]));
      return *u >= 0 && *v >= 0 && *u < width && *v < height;
    }
    if (x < firstColumn || x > lastColumn) return false;
    const double su = inverse[0] * x + inverse[2] * y + inverse[4];
    const double sv = inverse[1] * x + inverse[3] * y + inverse[5];
    *u = std::clamp(static_cast<int32_t>(std::trunc(su)), 0, width - 1);
    *v = std::clamp(static_cast<int32_t>(std::trunc(sv)), 0, height - 1);
    return true;
  }
};

// A blit with parameters: the box drawn as BoxSampler picks its pixels, each
// at the level times its mask or alpha.
int32_t paramsBlit(void* sourceBacking, Bitmap* d, const QmBlitRequest* r, uint32_t flags) {
  const QmBlitParams& p = *r->params;
  Bitmap* s = bitmapOf(sourceBacking);
  if (!s && !r->source.pixels) return 1;
  Bitmap* plane = bitmapOf(r->maskBacking);
  BoxSampler sampler;
  if (!sampler.begin(r)) return 1;
  const int32_t level = p.flags & QM_BLITPARAM_LEVEL ? p.level : 255;
  for (int32_t y = 0; y < sampler.boxHeight; y++) {
    sampler.nextRow(y);
    for (int32_t x = 0; x < sampler.boxWidth; x++) {
      int32_t dx = r->dstX + x, dy = r->dstY + y;
      if (dx < 0 || dy < 0 || dx >= d->width || dy >= d->height) continue;
      int32_t u = 0, v = 0;
      const bool shown = sampler.at(x, y, &u, &v);
      if (!shown && (plane || r->alphaBytes)) continue;
      // Unless shown, a black corner of a picture without mask or alpha.
      uint32_t argb = 0;
      int32_t a = 255;
      if (shown) {
        int32_t sx = r->srcX + u, sy = r->srcY + v;
        if (s) {
          if (sx >= s->width || sy >= s->height) continue;
          argb = fromStored(s->row32(sy)[sx]);
        } else {
          if (sx >= r->source.width || sy >= r->source.height) continue;
          argb = sourcePixel(r->source, sx, sy);
        }
        if (plane)
          a = plane->data()[static_cast<size_t>(sy) * plane->bytesPerRow + sx];
        else if (r->alphaBytes)
          a = r->alphaBytes[static_cast<size_t>(sy) * r->alphaBytesPerRow + sx];
      }
      a = (a * level + 127) / 255;
      if (a == 0) continue;
      uint32_t& out = d->row32(dy)[dx];
      if (a < 255) {
        uint32_t old = fromStored(out), mixed = 0;
        for (int shift = 0; shift < 24; shift += 8) {
          uint32_t c = (argb >> shift) & 0xFF, b = (old >> shift) & 0xFF;
          mixed |= ((c * a + b * (255 - a) + 127) / 255) << shift;
        }
        argb = mixed;
      }
      out = toStored(argb & 0xFFFFFF);
    }
  }
  (void)flags;
  return 0;
}

int32_t BltBitMap(void* sourceBacking, void* destination, const QmBlitRequest* r, uint32_t flags) {
  state->blits++;
  state->lastBlit = *r;
  if ((flags & QM_BLITBMP_PARAMS) && r->params) {
    state->lastParams = *r->params;
    state->paramBlits++;
    state->lastBlit.params = nullptr;
    Bitmap* d = bitmapOf(destination);
    return d ? paramsBlit(sourceBacking, d, r, flags) : 1;
  }
  if (!(flags & QM_BLITDEST_WINDOW)) {
    Bitmap* d = bitmapOf(destination);
    return d ? bitmapBlit(sourceBacking, d, r, flags) : 1;
  }
  Window* w = (flags & QM_BLITDEST_WINDOW) ? windowOf(destination) : nullptr;
  if (!w || !r->source.pixels) return 1;
  const QmPixelSource& s = r->source;
  bool scale = (r->flags & QM_BLIT_UNSCALED) && r->scaledWidth > 0 && r->scaledHeight > 0;
  int32_t outW = scale ? r->scaledWidth : r->width, outH = scale ? r->scaledHeight : r->height;
  for (int32_t y = 0; y < outH; y++) {
    for (int32_t x = 0; x < outW; x++) {
      int32_t sx = r->srcX + (scale ? static_cast<int32_t>(int64_t{x} * r->width / outW) : x);
      int32_t sy = r->srcY + (scale ? static_cast<int32_t>(int64_t{y} * r->height / outH) : y);
      if (sx < 0 || sy < 0 || sx >= s.width || sy >= s.height) continue;
      put(w, r->dstX + x, r->dstY + y, sourcePixel(s, sx, sy));
    }
  }
  return 0;
}
int32_t RectFill(void* handle, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour,
                 uint32_t flags) {
  state->fills++;
  int32_t last[6] = {
      x, y, width, height, static_cast<int32_t>(colour), static_cast<int32_t>(flags)};
  std::memcpy(state->lastFill, last, sizeof last);
  if (Bitmap* b = bitmapOf(handle)) {
    for (int32_t row = std::max(y, 0); row < y + height && row < b->height; row++)
      for (int32_t col = std::max(x, 0); col < x + width && col < b->width; col++)
        b->row32(row)[col] = toStored(colour & 0xFFFFFF);
    return 0;
  }
  Window* w = windowOf(handle);
  if (!w) return 1;
  for (int32_t row = y; row < y + height; row++)
    for (int32_t col = x; col < x + width; col++) put(w, col, row, colour);
  return 0;
}
int32_t WritePixel(void* handle, int32_t x, int32_t y, uint32_t colour, uint32_t) {
  if (Bitmap* b = bitmapOf(handle)) {
    if (x >= 0 && y >= 0 && x < b->width && y < b->height)
      b->row32(y)[x] = toStored(colour & 0xFFFFFF);
    return 0;
  }
  Window* w = windowOf(handle);
  if (!w) return 1;
  put(w, x, y, colour);
  return 0;
}
int32_t Line(void* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour,
             uint32_t) {
  Window* w = windowOf(handle);
  Bitmap* b = bitmapOf(handle);
  if (!w && !b) return 1;
  int32_t dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
  int32_t sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1, err = dx + dy;
  for (;;) {
    if (w)
      put(w, x1, y1, colour);
    else if (x1 >= 0 && y1 >= 0 && x1 < b->width && y1 < b->height)
      b->row32(y1)[x1] = toStored(colour & 0xFFFFFF);
    if (x1 == x2 && y1 == y2) break;
    int32_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x1 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y1 += sy;
    }
  }
  return 0;
}
void* GetMonitorInfo(int32_t query, int32_t) {
  return query == QM_MONITORQUERY_MODES ? const_cast<QmScreenMode*>(MODES)
                                        : static_cast<void*>(const_cast<QmMonitorInfo*>(MONITORS));
}
void FreeMonitorInfo(void*) {}
// The screen is a pattern: 0xFF000000 | x << 12 | y; areas above 256 pixels
// either way cannot be grabbed.
uint32_t* GrabScreenPixels(int32_t x, int32_t y, int32_t width, int32_t height) {
  if (width > 256 || height > 256) return nullptr;
  auto* pixels = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * width * height));
  if (!pixels) return nullptr;
  for (int32_t row = 0; row < height; row++)
    for (int32_t col = 0; col < width; col++)
      pixels[row * width + col] =
          0xFF000000u | static_cast<uint32_t>(x + col) << 12 | static_cast<uint32_t>(y + row);
  return pixels;
}
void FreeGrabScreenPixels(uint32_t* pixels) { std::free(pixels); }
int32_t BeginDoubleBuffer(void* handle) {
  Window* w = windowOf(handle);
  if (!w || w->buffered) return 1;
  state->begins++;
  w->buffered = true;
  w->shown = w->pixels;
  return 0;
}
// The window shows what was drawn last.
int32_t EndDoubleBuffer(void* handle) {
  Window* w = windowOf(handle);
  if (!w || !w->buffered) return 1;
  state->ends++;
  w->buffered = false;
  w->shown.clear();
  return 0;
}
int32_t Flip(void* handle, const QmFlipRequest* request) {
  Window* w = windowOf(handle);
  if (!w || !w->buffered) return 1;
  state->flips++;
  state->lastFlipSync = request ? request->sync : -1;
  w->shown = w->pixels;
  return 0;
}
int32_t Cls(void* handle, uint32_t colour, uint32_t) {
  Window* w = windowOf(handle);
  if (!w) return 1;
  for (uint32_t& p : w->pixels) p = colour & 0xFFFFFF;
  return 0;
}
void* AllocVideoBitMap(int32_t width, int32_t height, const uint32_t* pixels, uint32_t flags) {
  Bitmap* b = newBitmap(0, width, height, width, nullptr, 0);
  if (!b) return nullptr;
  b->video = true;
  b->hasAlpha = flags & 1;
  for (int32_t y = 0; pixels && y < height; y++)
    for (int32_t x = 0; x < width; x++)
      b->row32(y)[x] = toStored(pixels[static_cast<size_t>(y) * width + x]);
  return b;
}
void FreeVideoBitMap(void* backing) { freeBitmap(backing); }
// The pixels in PIXEL_FORMAT, rows packed.
uint32_t* ReadVideoPixels(void* backing, int32_t* width, int32_t* height) {
  Bitmap* b = bitmapOf(backing);
  if (!b || b->kind != 0 || state->refuseReads) return nullptr;
  auto* out = new uint32_t[static_cast<size_t>(b->width) * b->height];
  for (int32_t y = 0; y < b->height; y++)
    std::memcpy(out + static_cast<size_t>(y) * b->width, b->row32(y), 4 * size_t(b->width));
  *width = b->width;
  *height = b->height;
  return out;
}
void FreeVideoPixels(uint32_t* pixels) { delete[] pixels; }
int32_t DoVideoBitMapMethod(void*, int32_t, const QmTagItem*) {
  state->methods++;
  return 0;
}
void* AllocBitMap(int32_t kind, int32_t width, int32_t height, int32_t, const QmTagItem* tags) {
  if (kind < 0 || kind > 2) return nullptr;
  int32_t rowPixels = width, memoryRow = 0;
  uint8_t* memory = nullptr;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (t->tag == 1 && bitmapOf(reinterpret_cast<void*>(t->data)))
      rowPixels = std::max(width, (bitmapOf(reinterpret_cast<void*>(t->data))->bytesPerRow) / 4);
    if (t->tag == 2) memory = reinterpret_cast<uint8_t*>(t->data);
    if (t->tag == 3) memoryRow = static_cast<int32_t>(t->data);
  }
  return newBitmap(kind, width, height, rowPixels, memory, memoryRow);
}
void FreeBitMap(void* backing) { freeBitmap(backing); }
int32_t LockBitMap(void* backing, uint32_t, QmAdapterLock* lock) {
  Bitmap* b = bitmapOf(backing);
  if (!b || state->refuseLocks) return 0;
  state->locks++;
  *lock = QmAdapterLock{
      b->data(), b->bytesPerRow, b->kind == 0 ? PIXEL_FORMAT : b->kind == 1 ? 14u : 15u,
      b->width,  b->height,      reinterpret_cast<uintptr_t>(b)};
  return 1;
}
void UnLockBitMap(QmAdapterLock* lock) {
  if (lock && bitmapOf(reinterpret_cast<void*>(lock->token))) state->unlocks++;
}
intptr_t GetBitMapAttr(void* backing, int32_t attribute) {
  Bitmap* b = bitmapOf(backing);
  if (!b) return 0;
  return attribute == 0 ? b->width : attribute == 1 ? b->height : b->bytesPerRow;
}
#ifdef TESTDISPLAY_HW
int32_t AdapterMainLoop(VmState* L, QmMainChunkFunc chunk, void* chunkData, uintptr_t, uintptr_t) {
  state->mainLoops++;
  if (const char* dir = std::getenv("QM_TESTDISPLAY_CAPTURE"); dir && *dir) {
    if (FILE* f = std::fopen((std::string(dir) + "/mainloop").c_str(), "w")) std::fclose(f);
  }
  return chunk(L, chunkData);
}
#endif

}  // extern "C"
