// The graphics library's own commands apart from pointers, snapshots, clip
// regions and async drawings: colour arithmetic, the palette pen, the frame
// wait and its rate limit, refresh brackets, picture identification, the
// fixed colour table of GetRandomColor, and the global attributes of the
// blits (mask mode, tag 4, and alpha intensity, tag 6).
//
// Invariant: the frame-rate limit is never 0, so the frame wait never
// divides by zero.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/engine.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t DEFAULT_FPS = 60;
constexpr uint32_t TAG_MASKMODE = 4;
constexpr uint32_t TAG_ALPHAINTENSITY = 6;

// The colours GetRandomColor draws from, as 12-bit 0xRGB words; only the
// first RANDOM_COLOURS can be drawn.
constexpr int32_t RANDOM_COLOURS = 246;
// clang-format off
constexpr uint16_t RANDOM_TABLE[] = {
    0xCCC, 0x000, 0xFFF, 0x888, 0xA20, 0xD50, 0xEB0, 0x080, 0x6B0, 0x170, 0x5BC, 0x367, 0x07B,
    0x048, 0xE88, 0xB55, 0xE72, 0xC64, 0x820, 0xFB7, 0x90F, 0x60C, 0xB70, 0x950, 0xFA5, 0xD84,
    0x9B9, 0x686, 0x4A7, 0x175, 0x333, 0xEEE, 0x666, 0x000, 0x777, 0x240, 0x620, 0x510, 0x750,
    0x540, 0x350, 0x030, 0x256, 0x133, 0x035, 0x024, 0x744, 0x522, 0x731, 0x632, 0x410, 0x753,
    0x407, 0x306, 0x530, 0x420, 0x752, 0x642, 0x454, 0x343, 0x253, 0x032, 0x111, 0x777,
    // yellow, red, green, blue, cyan and magenta ramps, 15 steps each
    0xFF0, 0xEE0, 0xDD0, 0xCC0, 0xBB0, 0xAA0, 0x990, 0x880, 0x770, 0x660, 0x550, 0x440, 0x330,
    0x220, 0x110,
    0xF00, 0xE00, 0xD00, 0xC00, 0xB00, 0xA00, 0x900, 0x800, 0x700, 0x600, 0x500, 0x400, 0x300,
    0x200, 0x100,
    0x0F0, 0x0E0, 0x0D0, 0x0C0, 0x0B0, 0x0A0, 0x090, 0x080, 0x070, 0x060, 0x050, 0x040, 0x030,
    0x020, 0x010,
    0x00F, 0x00E, 0x00D, 0x00C, 0x00B, 0x00A, 0x009, 0x008, 0x007, 0x006, 0x005, 0x004, 0x003,
    0x002, 0x001,
    0x0FF, 0x0EE, 0x0DD, 0x0CC, 0x0BB, 0x0AA, 0x099, 0x088, 0x077, 0x066, 0x055, 0x044, 0x033,
    0x022, 0x011,
    0xF0F, 0xE0E, 0xD0D, 0xC0C, 0xB0B, 0xA0A, 0x909, 0x808, 0x707, 0x606, 0x505, 0x404, 0x303,
    0x202, 0x101,
    // FFF, then FFF down to FF0
    0xFFF, 0xFFF, 0xFFE, 0xFFD, 0xFFC, 0xFFB, 0xFFA, 0xFF9, 0xFF8, 0xFF7, 0xFF6, 0xFF5, 0xFF4,
    0xFF3, 0xFF2, 0xFF1, 0xFF0,
    // greys
    0xFFF, 0xEEE, 0xDDD, 0xCCC, 0xBBB, 0xAAA, 0x999, 0x888, 0x777, 0x666, 0x555, 0x444, 0x333,
    0x222, 0x111,
    0xF77, 0xF87, 0xFA7, 0xFB7, 0xFC7, 0xFD7, 0xFF7, 0xEF7, 0xDF7, 0xBF7, 0xAF7, 0x9F7, 0x8F7,
    0x7F8, 0x7F9, 0x7FA, 0x7FC, 0x7FD, 0x7FE, 0x7EF, 0x7DF, 0x7CF, 0x7BF, 0x79F, 0x78F, 0x77F,
    0x97F, 0xA7F, 0xB7F, 0xC7F, 0xE7F, 0xF7F, 0xF00, 0xF20, 0xF50, 0xF70, 0xFA0, 0xFC0, 0xFE0,
    0xDF0, 0xBF0, 0x8F0, 0x6F0, 0x3F0, 0x1F0, 0x0F1, 0x0F4, 0x0F6, 0x0F9, 0x0FB, 0x0FD, 0x0EF,
    0x0BF, 0x09F, 0x07F, 0x04F, 0x02F, 0x00F, 0x30F, 0x50F, 0x80F, 0xA0F, 0xC0F,
};
// clang-format on
static_assert(sizeof RANDOM_TABLE / sizeof RANDOM_TABLE[0] == 249, "the table keeps its listing");

uint32_t colourArg(VmState* L, int index) {
  return static_cast<uint32_t>(VmCheckInteger(L, index));
}

int pushColour(VmState* L, uint32_t colour) {
  VmPushNumber(L, static_cast<double>(colour));
  return 1;
}

// A flag argument: a number (non-zero is true) or a boolean; absent is off.
int flagArg(VmState* L, int index) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return 0;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index);
  return VmCheckNumber(L, index) != 0 ? 1 : 0;
}

}  // namespace

int CmdRed(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushColour(L, (colourArg(L, 1) >> 16) & 0xFF);
}

int CmdGreen(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushColour(L, (colourArg(L, 1) >> 8) & 0xFF);
}

int CmdBlue(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return pushColour(L, colourArg(L, 1) & 0xFF);
}

int CmdRGB(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  uint32_t r = colourArg(L, 1), g = colourArg(L, 2), b = colourArg(L, 3);
  return pushColour(L, r << 16 | g << 8 | b);
}

int CmdARGB(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  uint32_t a = colourArg(L, 1), c = colourArg(L, 2);
  return pushColour(L, a << 24 | c);
}

// MixRGB (c1, c2, ratio): the ratio is 0 to 255 or a percentage string.
// A negative ratio would mix outside the two colours, so it is refused
// like one above 255.
int CmdMixRGB(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  uint32_t c1 = colourArg(L, 1), c2 = colourArg(L, 2);
  double ratio = std::trunc(GetNumberArgEx(L, 3, 255, 0, nullptr));
  if (!(ratio >= 0 && ratio <= 255)) return ERR_WRONGUSAGE;
  return pushColour(L, MixColors(c1, c2, static_cast<int32_t>(ratio)));
}

// GetPen (pen [, ignored]): the pen of the current output's palette.
int CmdGetPen(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t pen = std::clamp(VmCheckInteger(L, 1), 0, 255);
  DisplayRecord* d = DisplayHooks().current();
  const uint32_t* palette = nullptr;
  if (d) {
    GfxDisplayValues v = DisplayValuesOf(d);
    if (v.outputKind == OBJTYPE_DISPLAY && v.picture) palette = v.palette;
  }
  VmPushNumber(L, palette ? static_cast<double>(palette[pen]) : -1.0);
  return 1;
}

// VWait: one frame, then the poll every wait makes, so that a script that
// paces itself with VWait alone (even with the line hook off) ends on a
// quit or close request.
int CmdVWait(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  WaitDisplayFrame(L, 0);
  return PollWhileWaiting(L);
}

int CmdSetFPSLimit(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t fps = VmCheckInteger(L, 1);
  gfxContext.fpsLimit = fps > 0 ? fps : DEFAULT_FPS;
  return 0;
}

int CmdGetFPSLimit(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, GetFPSLimit());
  return 1;
}

namespace {

// The depth of the software-bitmap format override, 32 without one.
int32_t overrideDepth() {
  int64_t format = GetSoftBitmapFormatOverride();
  if (format < 0) return 32;
  switch (format) {
    case PIXFMT_RGB555:
    case PIXFMT_BGR555:
    case PIXFMT_RGB555_SWAP:
    case PIXFMT_BGR555_SWAP:
      return 15;
    case PIXFMT_RGB565:
    case PIXFMT_BGR565:
    case PIXFMT_RGB565_SWAP:
    case PIXFMT_BGR565_SWAP:
      return 16;
    case PIXFMT_RGB24:
    case PIXFMT_BGR24:
      return 24;
    default:
      return 32;
  }
}

}  // namespace

int CmdGetRealColor(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  uint32_t c = colourArg(L, 1);
  switch (overrideDepth()) {
    case 15:
      c &= 0xFFF8F8F8u;
      break;
    case 16:
      c &= 0xFFF8FCF8u;
      break;
    default:
      break;
  }
  return pushColour(L, c);
}

int CmdDumpVideoTime(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  // No video recorder records on this system.
  VmPushNumber(L, -1);
  return 1;
}

int CmdGetRandomColor(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  auto index = static_cast<int32_t>(std::floor(drand48() * RANDOM_COLOURS));
  index = std::clamp(index, 0, RANDOM_COLOURS - 1);
  uint32_t rgb = RANDOM_TABLE[index];
  uint32_t colour =
      ((rgb >> 8) & 0xF) * 0x11u << 16 | ((rgb >> 4) & 0xF) * 0x11u << 8 | (rgb & 0xF) * 0x11u;
  return pushColour(L, colour);
}

namespace {

// The refusals of a bracket on an output other than the display.
ErrorCode checkBracketOutput(const GfxDisplayValues& d) {
  switch (d.outputKind) {
    case OBJTYPE_DISPLAY:
      return ERR_NONE;
    case OBJTYPE_BGPIC:
      return ERR_SELECTBG;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    case OBJTYPE_ANIM:
      return ERR_SELECTANIM;
    default:
      return d.doubleBuffer ? ERR_ENDDOUBLEBUFFER : ERR_SELECTBRUSH;
  }
}

}  // namespace

// BeginRefresh ([force]): opens a bracket when one is needed: forced, asked
// for by the display or one of its plug-in callbacks, or when the display
// composes its scaled picture.
int CmdBeginRefresh(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int force = flagArg(L, 1);
  DisplayRecord* d = DisplayHooks().current();
  if (!d || VideoRecorderActive()) return 0;
  GfxDisplayValues v = DisplayValuesOf(d);
  bool needed =
      force || v.composesScaled || v.bracketRequest || DisplayHooks().callbacksWantBracket(d) != 0;
  if (!needed) return 0;
  if (ErrorCode e = checkBracketOutput(v)) return e;
  if (v.collectingRefreshes) return ERR_WRONGUSAGE;
  DisplayHooks().setRefreshBracket(d, 1);
  return 0;
}

int CmdEndRefresh(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = DisplayHooks().current();
  if (!d || !DisplayValuesOf(d).collectingRefreshes) return 0;
  DisplayHooks().setRefreshBracket(d, 0);
  DisplayHooks().refresh(L, d, 0);
  return 0;
}

// Intersection (x1, y1, w1, h1, x2, y2, w2, h2).
int CmdIntersection(VmState* L) {
  CheckArgCount(L, 8, 8, 0, 0);
  int64_t v[8];
  for (int i = 0; i < 8; ++i) v[i] = VmCheckInteger(L, i + 1);
  int64_t x = std::max(v[0], v[4]), y = std::max(v[1], v[5]);
  int64_t right = std::min(v[0] + v[2], v[4] + v[6]);
  int64_t bottom = std::min(v[1] + v[3], v[5] + v[7]);
  int64_t out[4] = {0, 0, 0, 0};
  if (right > x && bottom > y) {
    out[0] = x;
    out[1] = y;
    out[2] = right - x;
    out[3] = bottom - y;
  }
  for (int64_t n : out) VmPushNumber(L, static_cast<double>(n));
  return 4;
}

namespace {
ErrorCode (*drawTagsDefaultHook)(VmState* L) = nullptr;
// The format number of a picture an image-loader plug-in reads.
constexpr int32_t PLUGIN_PICTURE_FORMAT = 7;
}  // namespace

void SetDrawTagsDefaultHook(ErrorCode (*hook)(VmState* L)) { drawTagsDefaultHook = hook; }

// SetDrawTagsDefault (table): new defaults of the draw options. The
// drawing library reads the table into a copy of the defaults and makes
// the copy the defaults only when the whole table was read; an error
// leaves them as they were.
int CmdSetDrawTagsDefault(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmSetTop(L, 1);
  if (drawTagsDefaultHook)
    if (ErrorCode e = drawTagsDefaultHook(L)) return e;
  return 0;
}

// IsPicture (file [, {loader, adapter}]): whether an image-loader plug-in
// or a built-in loader (as the loader list admits) reads the file, and what
// it is; the plug-ins are asked first, as when the picture is loaded.
int CmdIsPicture(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* file = VmCheckString(L, 1, nullptr);
  char loader[256] = "", adapter[256] = "";
  if (VmGetTop(L) >= 2 && VmType(L, 2) != VM_TYPE_NIL) {
    VmCheckTable(L, 2);
    int found = 0;
    GetTableFieldString(L, 2, "loader", loader, sizeof loader, &found);
    GetTableFieldString(L, 2, "adapter", adapter, sizeof adapter, &found);
  }
  DecodedImage* image = nullptr;
  int32_t transparent = -1, width = 0, height = 0, alpha = 0, format = 0, vector = 0;
  PluginPictureInfo plugin{};
  int byPlugin = 0;
  ErrorCode e = IdentifyPluginPicture(file, loader[0] ? loader : nullptr, &plugin, &byPlugin);
  if (e == ERR_MEM) return e;
  if (byPlugin) {
    format = PLUGIN_PICTURE_FORMAT;
    width = plugin.width;
    height = plugin.height;
    alpha = plugin.hasAlpha;
    vector = plugin.isVector;
    transparent = plugin.transparency;
  } else {
    e = PictureFileHooks().load(file, loader[0] ? loader : nullptr, adapter[0] ? adapter : nullptr,
                                nullptr, -1, 2, &image, nullptr, &transparent, &width, &height,
                                &alpha, nullptr, &format);
    PictureFileHooks().free(image);
  }
  if (e == ERR_MEM) return e;
  if (e != ERR_NONE) {
    VmPushBoolean(L, 0);
    VmNewTable(L);
    return 2;
  }
  VmPushBoolean(L, 1);
  VmNewTable(L);
  SetTableFieldNumber(L, "format", format);
  SetTableFieldNumber(L, "width", width);
  SetTableFieldNumber(L, "height", height);
  VmPushString(L, "alpha");
  VmPushBoolean(L, alpha != 0);
  VmSetTable(L, -3);
  VmPushString(L, "vector");
  VmPushBoolean(L, vector != 0);
  VmSetTable(L, -3);
  VmPushString(L, "transparency");
  VmPushBoolean(L, transparent != -1);
  VmSetTable(L, -3);
  return 2;
}

namespace {

int setAttr(VmState*, uint32_t tag, uintptr_t value) {
  if (tag == TAG_MASKMODE) {
    SetBlitMaskMode(static_cast<int32_t>(value));
    return 1;
  }
  if (tag == TAG_ALPHAINTENSITY) {
    SetBlitAlphaIntensity(static_cast<int32_t>(static_cast<intptr_t>(value)));
    return 1;
  }
  return 0;
}

int getAttr(VmState*, uint32_t tag, uintptr_t* result) {
  if (tag != TAG_MASKMODE && tag != TAG_ALPHAINTENSITY) return 0;
  int32_t word = tag == TAG_MASKMODE ? GetBlitMaskMode() : GetBlitAlphaIntensity();
  if (result) *result = static_cast<uintptr_t>(static_cast<intptr_t>(word));
  return 1;
}

void systemNow(TimeValue* out) { GetSysTime(out); }

}  // namespace

ErrorCode RegisterGraphicsAttrHandlers() {
  if (ErrorCode e = AddSetAttrHandler(setAttr)) return e;
  return AddGetAttrHandler(getAttr);
}

int VideoRecorderActive() { return gfxContext.videoRecorder != nullptr; }

int32_t GetFPSLimit() { return gfxContext.fpsLimit > 0 ? gfxContext.fpsLimit : DEFAULT_FPS; }

void SetFrameClock(void (*now)(TimeValue* out), void (*sleep)(int32_t milliseconds)) {
  gfxContext.frameNow = now;
  gfxContext.frameSleep = sleep;
}

void WaitFrameInterval(DisplayRecord* d, int force) {
  void (*now)(TimeValue*) = gfxContext.frameNow ? gfxContext.frameNow : systemNow;
  void (*sleep)(int32_t) = gfxContext.frameSleep ? gfxContext.frameSleep : Delay;
  TimeValue* last = d ? DisplayHooks().lastFrameTime(d) : nullptr;
  if (!last) last = &gfxContext.lastFrameTime;
  if (force || (d && DisplayValuesOf(d).open)) {
    TimeValue t;
    now(&t);
    int64_t interval = 1000000 / GetFPSLimit();
    int64_t elapsed = (static_cast<int64_t>(t.seconds) - last->seconds) * 1000000 +
                      (static_cast<int64_t>(t.micros) - last->micros);
    if (elapsed >= 0 && elapsed < 1000000 && elapsed < interval) {
      auto ms = static_cast<int32_t>((interval - elapsed) / 1000);
      if (ms > 0) sleep(ms);
    }
  }
  now(last);
}

void WaitDisplayFrame(VmState* L, int32_t frame) {
  DisplayRecord* d = DisplayHooks().current();
  if (!d) {
    WaitFrameInterval(nullptr, 1);
    return;
  }
  DisplayHooks().waitVBlank(L, d, frame);
}
