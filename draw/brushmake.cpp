// Brush making commands: CreateBrush, CopyBrush and LoadBrush. Every new
// brush id follows one rule: a number first frees the brush of that number
// (a missing one is no error), Nil asks for an automatic id that the
// command returns. Invariant: a failing command leaves no brush behind and
// frees what it made.
#include <algorithm>
#include <memory>

#include "draw/draw_private.h"
#include "plugins/plugins.h"

namespace {

// The new id at index: *automatic set for Nil (or no argument).
ObjectId newIdArg(VmState* L, int index, int* automatic) {
  *automatic = 0;
  ObjectId id = GetObjectIdArg(L, index, automatic);
  return id;
}

int finish(VmState* L, ErrorCode e, int automatic, ObjectId id) {
  if (e) return e;
  if (automatic) return PushObjectId(L, id);
  return 0;
}

bool isTableAt(VmState* L, int index) {
  return VmGetTop(L) >= index && VmType(L, index) == VM_TYPE_TABLE;
}

// The picture's top bytes scaled by the level (with an alpha channel) or
// set to it (without).
void applyGlobalAlpha(PictureHandle* picture, int32_t hasAlpha, int32_t level) {
  uint32_t* pixels = GetPictureHandlePixels(picture);
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture, &width, &height);
  if (!pixels) return;
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < count; ++i) {
    uint32_t a = hasAlpha ? ((pixels[i] >> 24) * static_cast<uint32_t>(level) + 127) / 255
                          : static_cast<uint32_t>(level);
    pixels[i] = (pixels[i] & 0xFFFFFFu) | (a << 24);
  }
}

// A switch field: a boolean, or a number truncated toward zero.
void readSwitch(VmState* L, int table, const char* name, int32_t* value) {
  VmPushString(L, name);
  VmGetTable(L, table);
  int type = VmType(L, -1);
  VmSetTop(L, -2);
  if (type == VM_TYPE_NIL) return;
  if (type == VM_TYPE_BOOLEAN) {
    VmPushString(L, name);
    VmGetTable(L, table);
    *value = VmToBoolean(L, -1);
    VmSetTop(L, -2);
    return;
  }
  int found = 0;
  GetTableFieldInt(L, table, name, value, &found);
}

struct PictureReleaser {
  void operator()(PictureHandle* p) const { ReleasePictureHandle(p); }
};

}  // namespace

// CreateBrush(id, width, height[, colour = 0[, table]]).
int CmdCreateBrush(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  int32_t width = VmCheckInteger(L, 2), height = VmCheckInteger(L, 3);
  ArgbColor colour = VmGetTop(L) >= 4 && !isTableAt(L, 4)
                         ? static_cast<ArgbColor>(static_cast<int64_t>(VmCheckNumber(L, 4)))
                         : 0;
  int32_t wantAlpha = 0, wantMask = 0, clear = 0, hardware = 0, smooth = 0;
  int table = isTableAt(L, VmGetTop(L)) && VmGetTop(L) >= 4 ? VmGetTop(L) : 0;
  if (table) {
    readSwitch(L, table, "alphachannel", &wantAlpha);
    readSwitch(L, table, "mask", &wantMask);
    readSwitch(L, table, "clear", &clear);
    readSwitch(L, table, "hardware", &hardware);
    readSwitch(L, table, "smoothscale", &smooth);
  }
  if (wantAlpha && wantMask) return ERR_WRONGUSAGE;
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = CreateBrushObject(&id, automatic, width, height, colour, wantMask, wantAlpha, clear,
                                  0, hardware, smooth, nullptr, nullptr);
  return finish(L, e, automatic, id);
}

// CopyBrush(source, dest[, table]).
int CmdCopyBrush(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  ObjectId source = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = newIdArg(L, 2, &automatic);
  if (!automatic && !source.autoId && source.number == id.number) return ERR_WRONGUSAGE;
  int32_t hardware = 0, smooth = 0;
  if (isTableAt(L, 3)) {
    readSwitch(L, 3, "hardware", &hardware);
    readSwitch(L, 3, "smoothscale", &smooth);
  }
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, source, &b, BRUSH_HARDWARE)) return e;
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = CopyBrushObject(L, b, &id, automatic, hardware, smooth, nullptr, nullptr);
  return finish(L, e, automatic, id);
}

// LoadBrush(id, file[, table or key colour[, n1, n2]]).
int CmdLoadBrush(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  const char* file = VmCheckString(L, 2, nullptr);
  PrintProgress(GetBuiltinString(747), file, 0);

  int64_t key = -1;
  int32_t loadAlpha = 0, loadTransparency = 0, globalAlpha = -1;
  int32_t px = 0, py = 0, pw = 0, ph = 0, scaleWidth = 0, scaleHeight = 0, smooth = 0;
  char loader[256] = "";
  PictureRequest request{};
  if (isTableAt(L, 3)) {
    int found = 0;
    double colour = 0;
    if (GetTableFieldNumber(L, 3, "transparency", &colour, &found))
      key = static_cast<int64_t>(colour) & 0xFFFFFF;
    readSwitch(L, 3, "loadalpha", &loadAlpha);
    readSwitch(L, 3, "loadtransparency", &loadTransparency);
    GetTableFieldInt(L, 3, "globalalpha", &globalAlpha, &found);
    GetTableFieldInt(L, 3, "x", &px, &found);
    GetTableFieldInt(L, 3, "y", &py, &found);
    GetTableFieldInt(L, 3, "width", &pw, &found);
    GetTableFieldInt(L, 3, "height", &ph, &found);
    GetTableFieldInt(L, 3, "scalewidth", &scaleWidth, &found);
    GetTableFieldInt(L, 3, "scaleheight", &scaleHeight, &found);
    readSwitch(L, 3, "smoothscale", &smooth);
    GetTableFieldString(L, 3, "loader", loader, sizeof loader, &found);
  } else if (VmGetTop(L) >= 3 && VmType(L, 3) != VM_TYPE_NIL) {
    key = static_cast<int64_t>(VmCheckNumber(L, 3)) & 0xFFFFFF;
    if (VmGetTop(L) >= 4) request.index = VmCheckInteger(L, 4);
  }
  if (loadAlpha && loadTransparency) return ERR_WRONGUSAGE;
  if (loadTransparency && key != -1) return ERR_WRONGUSAGE;
  if ((loadAlpha || globalAlpha != -1) && key != -1) return ERR_MASKNALPHA;

  request.width = scaleWidth;
  request.height = scaleHeight;
  request.smooth = smooth;
  request.wantAlpha = loadAlpha;
  request.wantMask = loadTransparency;
  PictureResult result{};
  if (ErrorCode e = OpenPictureHandle(file, loader[0] ? loader : nullptr, &request, &result))
    return e;
  std::unique_ptr<PictureHandle, PictureReleaser> picture(result.handle);
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture.get(), &width, &height);
  int32_t hasAlpha = loadAlpha && result.hasAlpha;
  if (loadTransparency && !result.isVector && result.transparency >= 0)
    key = result.transparency & 0xFFFFFF;
  if (result.isVector) key = -1;
  if (globalAlpha != -1) {
    if (globalAlpha < 0) globalAlpha = 0;
    if (globalAlpha > 255) globalAlpha = 255;
    applyGlobalAlpha(picture.get(), hasAlpha, globalAlpha);
    hasAlpha = 1;
  }
  if (pw == 0) pw = width;
  if (ph == 0) ph = height;
  if (px < 0 || py < 0 || px >= width || py >= height || pw < 1 || ph < 1) return ERR_COORDSRANGE;
  if (result.isVector && (px || py || pw != width || ph != height)) return ERR_BRUSHTYPE;
  pw = std::min(pw, width - px);
  ph = std::min(ph, height - py);

  if (!automatic) FreeBrushObject(L, id, 0);
  // While start-up preloads, brushes keep their picture until the first
  // display opens.
  uintptr_t word = 0;
  TagItem tags[] = {{ATTR_DEFERBITMAPS, reinterpret_cast<uintptr_t>(&word)}, {ATTR_DONE, 0}};
  GetGlobalAttrs(L, tags);
  ErrorCode e = ERR_NONE;
  if (word) {
    e = AddDeferredBrush(&id, automatic, picture.get(), px, py, pw, ph, key, hasAlpha,
                         result.isVector, nullptr);
  } else {
    const uint32_t* pixels = GetPictureHandlePixels(picture.get());
    if (!pixels) return ERR_BITMAP;
    const uint32_t* start =
        pixels + static_cast<size_t>(py) * static_cast<size_t>(width) + static_cast<size_t>(px);
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    if ((e = CreateBitmapFromRGB(start, key, pw, ph, width, 0, hasAlpha ? 8u : 0u, nullptr, &bitmap,
                                 &mask, &alpha)))
      return e;
    PictureHandle* keep = result.isVector ? picture.get() : nullptr;
    e = AddBrushObject(&id, automatic, result.isVector, pw, ph, pw,
                       result.isVector && (scaleWidth || scaleHeight), keep, bitmap, key, mask,
                       alpha, nullptr, nullptr);
    if (e) {
      FreeBitmap(bitmap);
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    } else if (keep) {
      picture.release();  // the vector brush keeps its picture
    }
  }
  return finish(L, e, automatic, id);
}
