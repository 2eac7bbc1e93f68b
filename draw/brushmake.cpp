// Brush making commands: CreateBrush, CopyBrush and LoadBrush. Every new
// brush id follows one rule: a number first frees the brush of that number
// (a missing one is no error), Nil asks for an automatic id that the
// command returns. Invariant: a failing command leaves no brush behind and
// frees what it made.
#include <algorithm>
#include <memory>
#include <string>

#include "draw/draw_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

namespace {

// The new id at index: *automatic set for Nil (or no argument).
ObjectId newIdArg(VmState* L, int index, int* automatic) {
  *automatic = 0;
  ObjectId id = GetObjectIdArg(L, index, automatic);
  return id;
}

// The display that owns a video-memory brush: the table's "display" (the
// current display when it is absent) when the adapter binds video bitmaps
// to displays; null without "hardware" or such an adapter.
ErrorCode ownerDisplay(VmState* L, int table, int32_t hardware, DisplayRecord** out) {
  *out = nullptr;
  if (!hardware) return ERR_NONE;
  ObjectId id{};
  if (table) {
    VmPushString(L, "display");
    VmGetTable(L, table);
    if (VmType(L, -1) != VM_TYPE_NIL) id = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
  }
  return GetHardwareBitmapDisplay(id, out);
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

// A private copy of a pixel picture; null when out of memory.
PictureHandle* copyPicture(PictureHandle* picture) {
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture, &width, &height);
  const uint32_t* from = GetPictureHandlePixels(picture);
  PictureHandle* copy = NewPixelPictureHandle(width, height);
  uint32_t* to = copy ? GetPictureHandlePixels(copy) : nullptr;
  if (!from || !to) {
    ReleasePictureHandle(copy);
    return nullptr;
  }
  std::copy(from, from + static_cast<size_t>(width) * static_cast<size_t>(height), to);
  return copy;
}

// The cache entry keeps the loader's transparent colour as its value and
// the vector flag as its extra word; with alpha it also keeps the
// picture's top bytes as an alpha channel, which a later load that asks
// for alpha requires.
ErrorCode cachePicture(const char* name, PictureHandle* picture, const PictureResult& result,
                       int32_t withAlpha) {
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture, &width, &height);
  const uint32_t* pixels = withAlpha ? GetPictureHandlePixels(picture) : nullptr;
  if (!pixels) {
    return AddCachedPicture(name, width, height, result.transparency, picture, nullptr,
                            result.isVector);
  }
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  auto* bytes = static_cast<uint8_t*>(AllocMemory(count, 0));
  if (!bytes) return ERR_MEM;
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(pixels[i] >> 24);
  BitmapHandle* alpha = AllocAlphaChannel(width, height, 0, bytes, width);
  ErrorCode e = alpha ? AddCachedPicture(name, width, height, result.transparency, picture, alpha,
                                         result.isVector)
                      : ERR_MEM;
  FreeAlphaChannel(alpha);
  FreeMemory(bytes);
  return e;
}

// The picture stored under name as if the loader had just opened it.
ErrorCode cachedPicture(const char* name, int32_t wantAlpha, PictureResult* result) {
  int32_t width = 0, height = 0;
  intptr_t transparency = -1, isVector = 0;
  PictureHandle* picture = nullptr;
  BitmapHandle* alpha = nullptr;
  if (ErrorCode e = FindCachedPicture(name, wantAlpha, &width, &height, &transparency, &picture,
                                      &alpha, &isVector))
    return e;
  // The picture's own top bytes are the alpha that the entry was made from.
  FreeAlphaChannel(alpha);
  if (!picture) return ERR_CACHEERROR;
  result->handle = picture;
  result->width = width;
  result->height = height;
  result->hasAlpha = wantAlpha;
  result->transparency = static_cast<int32_t>(transparency);
  result->isVector = static_cast<int32_t>(isVector);
  return ERR_NONE;
}

}  // namespace

// CreateBrush(id, width, height[, colour = 0[, table]]).
int CmdCreateBrush(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  int32_t width = VmCheckInteger(L, 2), height = VmCheckInteger(L, 3);
  ArgbColor colour =
      VmGetTop(L) >= 4 && !isTableAt(L, 4) ? static_cast<ArgbColor>(VmCheckInteger(L, 4)) : 0;
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
  DisplayRecord* owner = nullptr;
  if (ErrorCode e = ownerDisplay(L, table, hardware, &owner)) return e;
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = CreateBrushObject(&id, automatic, width, height, colour, wantMask, wantAlpha, clear,
                                  0, hardware, smooth, owner, nullptr);
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
  DisplayRecord* owner = nullptr;
  if (ErrorCode e = ownerDisplay(L, isTableAt(L, 3) ? 3 : 0, hardware, &owner)) return e;
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = CopyBrushObject(L, b, &id, automatic, hardware, smooth, owner, nullptr);
  return finish(L, e, automatic, id);
}

// LoadBrush(id, file[, table or key colour[, n1, n2]]).
int CmdLoadBrush(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  const char* given = VmCheckString(L, 2, nullptr);
  // A file linked into the applet is read from its place there; the copy
  // keeps the resolved name safe from later look-ups.
  const std::string file = ResolveLinkedFile(L, given, 0, nullptr);
  PrintProgress(GetBuiltinString(747), given, 0);

  int64_t key = -1;
  int32_t loadAlpha = 0, loadTransparency = 0, globalAlpha = -1;
  int32_t px = 0, py = 0, pw = 0, ph = 0, scaleWidth = 0, scaleHeight = 0, smooth = 0;
  int32_t hardware = 0;
  ObjectId displayId{};
  char loader[256] = "";
  char cacheName[512] = "", cachedLoad[512] = "";
  int32_t cacheAlpha = 0;
  PictureRequest request{};
  if (isTableAt(L, 3)) {
    int found = 0;
    double colour = 0;
    if (GetTableFieldNumber(L, 3, "transparency", &colour, &found))
      key = VmNumberToInteger(colour) & 0xFFFFFF;
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
    readSwitch(L, 3, "hardware", &hardware);
    VmPushString(L, "display");
    VmGetTable(L, 3);
    if (hardware && VmType(L, -1) != VM_TYPE_NIL)
      displayId = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
    GetTableFieldString(L, 3, "loader", loader, sizeof loader, &found);
    GetTableFieldString(L, 3, "cache", cacheName, sizeof cacheName, &found);
    GetTableFieldString(L, 3, "cachedload", cachedLoad, sizeof cachedLoad, &found);
    readSwitch(L, 3, "cachealpha", &cacheAlpha);
  } else if (VmGetTop(L) >= 3 && VmType(L, 3) != VM_TYPE_NIL) {
    key = VmCheckInteger(L, 3) & 0xFFFFFF;
    if (VmGetTop(L) >= 4) request.index = VmCheckInteger(L, 4);
  }
  if (loadAlpha && loadTransparency) return ERR_WRONGUSAGE;
  if (loadTransparency && key != -1) return ERR_WRONGUSAGE;
  if ((loadAlpha || globalAlpha != -1) && key != -1) return ERR_MASKNALPHA;

  // While start-up preloads, brushes keep their picture until the first
  // display opens, and pictures are shared through the cache.
  uintptr_t deferring = 0;
  TagItem tags[] = {{ATTR_DEFERBITMAPS, reinterpret_cast<uintptr_t>(&deferring)}, {ATTR_DONE, 0}};
  GetGlobalAttrs(L, tags);
  if (!deferring) cacheName[0] = cachedLoad[0] = '\0';
  if (loadAlpha) cacheAlpha = 0;

  PictureResult result{};
  if (cachedLoad[0]) {
    if (ErrorCode e = cachedPicture(cachedLoad, loadAlpha, &result)) return e;
  } else {
    request.width = scaleWidth;
    request.height = scaleHeight;
    request.smooth = smooth;
    request.wantAlpha = loadAlpha || cacheAlpha;
    request.wantMask = loadTransparency;
    if (ErrorCode e =
            OpenPictureHandle(file.c_str(), loader[0] ? loader : nullptr, &request, &result))
      return e;
  }
  std::unique_ptr<PictureHandle, PictureReleaser> picture(result.handle);
  if (cacheName[0]) {
    if (ErrorCode e = cachePicture(cacheName, picture.get(), result,
                                   (loadAlpha || cacheAlpha) && result.hasAlpha))
      return e;
  }
  if (globalAlpha != -1 && (cacheName[0] || cachedLoad[0])) {
    // The cache's picture is shared: the brush's own alpha goes into a copy.
    PictureHandle* copy = copyPicture(picture.get());
    if (!copy) return ERR_MEM;
    picture.reset(copy);
  }
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

  // In video memory when asked and the adapter makes video bitmaps, unless
  // the video recorder reads the pixels; a deferred brush asks again when it
  // is realised, with its display found then.
  bool video = hardware && (AdapterSupportedBitmapFlags(8) & 8) && !VideoRecorderActive();
  DisplayRecord* owner = nullptr;
  if (video && !deferring) {
    if (ErrorCode e = GetHardwareBitmapDisplay(displayId, &owner)) return e;
  }
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = ERR_NONE;
  BrushObject* made = nullptr;
  if (deferring) {
    e = AddDeferredBrush(&id, automatic, picture.get(), px, py, pw, ph, key, hasAlpha,
                         result.isVector, &made);
    if (!e && hardware) {
      made->video = 1;
      made->displayId = displayId;
      made->smoothScale = smooth;
    }
  } else {
    const uint32_t* pixels = GetPictureHandlePixels(picture.get());
    if (!pixels) return ERR_BITMAP;
    const uint32_t* start =
        pixels + static_cast<size_t>(py) * static_cast<size_t>(width) + static_cast<size_t>(px);
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    if ((e = CreateBitmapFromRGB(start, key, pw, ph, width, video ? 1 : 0, hasAlpha ? 8u : 0u,
                                 owner, &bitmap, &mask, &alpha)))
      return e;
    // A video bitmap carries its transparency itself; a vector picture in
    // video memory becomes a plain brush.
    bool inVideo = bitmap->video != 0;
    int32_t isVector = result.isVector && !inVideo;
    PictureHandle* keep = isVector ? picture.get() : nullptr;
    e = AddBrushObject(&id, automatic, isVector, pw, ph, pw,
                       isVector && (scaleWidth || scaleHeight), keep, bitmap, key, mask, alpha,
                       nullptr, &made);
    if (!e && inVideo) {
      made->video = 1;
      made->display = owner;
      if (owner) made->displayId = ObjectId{owner->head.autoId, owner->head.number};
      made->videoContent = (key != -1 ? 1 : 0) | (hasAlpha ? 2 : 0);
      made->smoothScale = smooth;
    }
    if (e) {
      FreeBitmap(bitmap);
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    } else if (keep) {
      picture.release();  // the vector brush keeps its picture
    }
  }
  if (made) made->loader = result.loader ? result.loader->moduleName : "inbuilt";
  return finish(L, e, automatic, id);
}

namespace {

// The source brush at index and the new id at newIndex; the same number
// for both is ERR_WRONGUSAGE.
ErrorCode sourceAndNewId(VmState* L, int sourceIndex, int newIndex, ObjectId* id, int* automatic,
                         BrushObject** out) {
  ObjectId source = GetObjectIdArg(L, sourceIndex, nullptr);
  *id = newIdArg(L, newIndex, automatic);
  if (!*automatic && !source.autoId && source.number == id->number) return ERR_WRONGUSAGE;
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, source, &b, 0)) return e;
  if (!b->bitmap) return ERR_LOCKBMAP;
  *out = b;
  return ERR_NONE;
}

// CreateBorderBrush and CreateShadowBrush: a brush of the colour, the
// source's silhouette blurred into its alpha channel, radius pixels wider
// on every side.
int blurredBrush(VmState* L, int outline) {
  CheckArgCount(L, 3, 5, 0, 0);
  int automatic = 0;
  ObjectId id{};
  BrushObject* source;
  if (ErrorCode e = sourceAndNewId(L, 2, 1, &id, &automatic, &source)) return e;
  ArgbColor colour = static_cast<ArgbColor>(VmCheckInteger(L, 3));
  double radius = VmOptNumber(L, 4, 5);
  double sigma = VmOptNumber(L, 5, radius / 3.0);
  if (!(radius >= 1.0)) return ERR_WRONGUSAGE;
  // The size grows by twice the radius: computed in 64 bits, so that a
  // radius from a script cannot wrap it into a small or negative size.
  if (radius > static_cast<double>(INT32_MAX)) return ERR_BITMAP;
  int64_t r = static_cast<int64_t>(radius);
  int64_t width = source->width + 2 * r, height = source->height + 2 * r;
  if (width > INT32_MAX || height > INT32_MAX) return ERR_BITMAP;
  int32_t opacity = 255 - static_cast<int32_t>(colour >> 24);
  OwnedBitmap bitmap(
      AllocBitmap(static_cast<int32_t>(width), static_cast<int32_t>(height), 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  FillBitmapRect(bitmap.get(), 0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height),
                 colour & 0xFFFFFF);
  BitmapHandle* alpha = nullptr;
  if (!outline || source->mask || source->alpha) {
    // Outlines are made solid before a second, smaller blur softens their
    // edge; a small radius has no room for that second pass.
    alpha = BuildBlurredAlpha(source->mask, source->alpha, 0, 0, source->width, source->height,
                              radius, sigma, opacity, outline, outline && radius >= 4.0);
    if (!alpha) return ERR_MEM;
  }
  if (!automatic) FreeBrushObject(L, id, 0);
  if (ErrorCode e = AddBrushObject(&id, automatic, 0, static_cast<int32_t>(width),
                                   static_cast<int32_t>(height), static_cast<int32_t>(width), 0,
                                   nullptr, bitmap.get(), -1, nullptr, alpha, nullptr, nullptr)) {
    FreeAlphaChannel(alpha);
    return e;
  }
  bitmap.release();
  return finish(L, ERR_NONE, automatic, id);
}

}  // namespace

int CmdCreateBorderBrush(VmState* L) { return blurredBrush(L, 1); }
int CmdCreateShadowBrush(VmState* L) { return blurredBrush(L, 0); }

// GrabDesktop(id[, table]): the pixels of the current display's monitor,
// or of the part of it that "x", "y", "width" and "height" name.
int CmdGrabDesktop(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_CLOSEDDISPLAY;
  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  if (ErrorCode e = GetDisplayMonitorRect(d, &mx, &my, &mw, &mh)) return e;
  int32_t x = 0, y = 0, width = mw, height = mh;
  if (isTableAt(L, 2)) {
    int found = 0;
    GetTableFieldInt(L, 2, "x", &x, &found);
    GetTableFieldInt(L, 2, "y", &y, &found);
    GetTableFieldInt(L, 2, "width", &width, &found);
    GetTableFieldInt(L, 2, "height", &height, &found);
  }
  if (x < 0 || y < 0 || width < 1 || height < 1 || x >= mw || y >= mh ||
      static_cast<int64_t>(x) + width > mw || static_cast<int64_t>(y) + height > mh)
    return ERR_WRONGUSAGE;
  BitmapHandle* grabbed = nullptr;
  if (ErrorCode e = GrabDisplayPixels(d, mx + x, my + y, width, height, 0, 0, &grabbed)) return e;
  OwnedBitmap bitmap(grabbed);
  if (!automatic) FreeBrushObject(L, id, 0);
  ErrorCode e = AddBrushObject(&id, automatic, 0, width, height, width, 0, nullptr, bitmap.get(),
                               -1, nullptr, nullptr, nullptr, nullptr);
  if (!e) bitmap.release();
  return finish(L, e, automatic, id);
}

ErrorCode ConvertObjectToBrush(VmState* L, int32_t type, ObjectId source, ObjectId* id,
                               int automatic, int32_t frame, int32_t extra) {
  // Every kind hands over copies of its current bitmaps, which the new
  // brush then owns.
  ObjectBitmaps made{};
  int64_t key = -1;
  uintptr_t link = 0;
  ErrorCode e = ERR_NONE;
  switch (type) {
    case OBJTYPE_BRUSH: {
      BrushObject* b = nullptr;
      if ((e = GetBrushObject(L, source, &b, 0))) return e;
      if (!b->bitmap) return ERR_LOCKBMAP;
      e = ConvertBitmap(b->bitmap, b->mask, b->alpha, 0, 0, b->width, b->height, 0, 0, nullptr,
                        nullptr, &made.bitmap, &made.mask, &made.alpha);
      made.width = b->width;
      made.height = b->height;
      key = b->keyColour;
      link = b->link;
      break;
    }
    case OBJTYPE_BGPIC:
      e = GetBGPicBitmaps(L, source, &made);
      break;
    case OBJTYPE_ANIM:
      e = GetAnimFrameBitmaps(L, source, frame, &made);
      break;
    case OBJTYPE_TEXTOBJECT:
      e = GetTextObjectBitmaps(L, source, &made);
      break;
    case OBJTYPE_LAYER:
      e = GetLayerBitmaps(L, source, frame, &made);
      break;
    case OBJTYPE_SPRITE:
      e = GetSpriteFrameBitmaps(L, source, frame, &made);
      break;
    case OBJTYPE_VECTORPATH:
      // A vector brush keeps the list and is rendered again from it.
      return MakePathListBrush(L, frame, id, automatic);
    case OBJTYPE_ICON:
      e = GetIconBitmaps(L, source, frame, extra, &made);
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  if (e) return e;
  if (!automatic) FreeBrushObject(L, *id, 0);
  BrushObject* brush = nullptr;
  e = AddBrushObject(id, automatic, 0, made.width, made.height, made.width, 0, nullptr, made.bitmap,
                     made.mask ? (key >= 0 ? key : BRUSH_MASK_KEY) : -1, made.mask, made.alpha,
                     nullptr, &brush);
  if (e) {
    FreeBitmap(made.bitmap);
    FreeBitMask(made.mask);
    FreeAlphaChannel(made.alpha);
    return e;
  }
  brush->link = link;
  return ERR_NONE;
}

// ConvertToBrush(type, source, id[, frame = 1[, extra = 0]]).
int CmdConvertToBrush(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  int automatic = 0;
  ObjectId id = newIdArg(L, 3, &automatic);
  // Vector paths come as a table at the fourth argument; their source
  // argument is not read.
  ObjectId source{};
  if (type != OBJTYPE_VECTORPATH) source = GetObjectIdArg(L, 2, nullptr);
  int32_t frame = type == OBJTYPE_VECTORPATH ? 4 : VmOptInteger(L, 4, 1);
  int32_t extra = VmOptInteger(L, 5, 0);
  if (type == OBJTYPE_BRUSH && !automatic && !source.autoId && source.number == id.number)
    return ERR_WRONGUSAGE;
  ErrorCode e = ConvertObjectToBrush(L, type, source, &id, automatic, frame, extra);
  return finish(L, e, automatic, id);
}

// GetBrushLink(id, type, source[, frame = 1]): ConvertToBrush with the
// arguments in this order and no extra.
int CmdGetBrushLink(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int32_t type = VmCheckInteger(L, 2);
  int automatic = 0;
  ObjectId id = newIdArg(L, 1, &automatic);
  ObjectId source{};
  if (type != OBJTYPE_VECTORPATH) source = GetObjectIdArg(L, 3, nullptr);
  int32_t frame = VmOptInteger(L, 4, 1);
  if (type == OBJTYPE_BRUSH && !automatic && !source.autoId && source.number == id.number)
    return ERR_WRONGUSAGE;
  ErrorCode e = ConvertObjectToBrush(L, type, source, &id, automatic, frame, 0);
  return finish(L, e, automatic, id);
}

// CreateTexturedBrush(id, brush[, width, height[, x, y]]) and
// CreateGradientBrush(id, type, start, end[, width, height[, angle[,
// options]]]): the background-picture makers with their brush switch.
int CmdCreateTexturedBrush(VmState* L) {
  CheckArgCount(L, 4, 6, 0, 0);
  return MakeTexturedPicture(L, 1);
}

int CmdCreateGradientBrush(VmState* L) {
  CheckArgCount(L, 6, 8, 0, 0);
  return MakeGradientPicture(L, 1);
}
