// The background-picture commands: making pictures from colours,
// gradients, textures, files and brushes, copying, scaling, showing and
// freeing them, and the layers-mode output selection. Every making command
// deletes a picture of a numeric destination id first and pushes a new
// automatic id as its one result.
// Invariant: a command that fails leaves no half-made picture in the list
// and frees every bitmap it made.
#include <string>
#include <algorithm>
#include <cstring>
#include <memory>

#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

const BGPicBrushHooks* brushHooks = nullptr;

// Whether start-up is preloading the applet's resources.
bool preloading(VmState* L) {
  uintptr_t deferring = 0;
  TagItem tags[] = {{ATTR_DEFERBITMAPS, reinterpret_cast<uintptr_t>(&deferring)}, {ATTR_DONE, 0}};
  GetGlobalAttrs(L, tags);
  return deferring != 0;
}

// The position ReadXYOptions gives when none was asked for: the window is
// centred.
constexpr int32_t CENTER_COORDINATE = 200000;

struct MaskFreer {
  void operator()(BitmapHandle* handle) const { FreeBitMask(handle); }
};
struct AlphaFreer {
  void operator()(BitmapHandle* handle) const { FreeAlphaChannel(handle); }
};
using OwnedMask = std::unique_ptr<BitmapHandle, MaskFreer>;
using OwnedAlpha = std::unique_ptr<BitmapHandle, AlphaFreer>;
struct PictureReleaser {
  void operator()(PictureHandle* handle) const { ReleasePictureHandle(handle); }
};

bool isTableAt(VmState* L, int index) {
  return VmGetTop(L) >= index && VmType(L, index) == VM_TYPE_TABLE;
}

// A switch field: a boolean, or a number truncated toward zero.
void readSwitch(VmState* L, int table, const char* name, int32_t* value) {
  VmPushString(L, name);
  VmGetTable(L, table);
  int type = VmType(L, -1);
  if (type == VM_TYPE_BOOLEAN) *value = VmToBoolean(L, -1);
  VmSetTop(L, -2);
  if (type == VM_TYPE_NIL || type == VM_TYPE_BOOLEAN) return;
  int found = 0;
  GetTableFieldInt(L, table, name, value, &found);
}

// The destination id at index; a numeric one loses its old picture first.
ErrorCode destinationId(VmState* L, int index, ObjectId* id, int* automatic) {
  *automatic = 0;
  *id = GetObjectIdArg(L, index, automatic);
  if (*automatic) return ERR_NONE;
  return DeleteBGPic(L, *id, 0);
}

int finish(VmState* L, ErrorCode e, int automatic, ObjectId id) {
  if (e) return e;
  if (automatic) return PushObjectId(L, id);
  return 0;
}

bool shownByDisplay(const BGPic* pic, const DisplayRecord* except) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d != except && d->bgpic == pic) return true;
  return false;
}

// The picture is the target of an output selection (layers, or the
// brush library's selection of a picture).
bool selectedAsOutput(const BGPic* pic) {
  DisplayRecord* d = GetOutputDisplay();
  if (!d || d->outputKind == OBJECT_DISPLAY) return false;
  if (d->outputKind == OBJECT_BGPIC && GetCurrentBGPic() == pic) return true;
  const BGPic* device = d->deviceRecord;
  if (!device || d->doubleBuffer) return false;
  if (device->selectionKind == OBJECT_BGPIC && device->selectionRecord == pic) return true;
  return device->head.type == OBJECT_BGPIC && device->head.number == pic->head.number &&
         device->head.autoId == pic->head.autoId;
}

// Fills the whole bitmap with copies of the tile from the offset into it.
void tile(BitmapHandle* dest, int32_t width, int32_t height, BitmapHandle* texture,
          BitmapHandle* mask, BitmapHandle* alpha, int32_t offsetX, int32_t offsetY) {
  int32_t tw = texture->width, th = texture->height;
  // A true modulo, so that negative offsets land inside the tile.
  int32_t ox = ((offsetX % tw) + tw) % tw, oy = ((offsetY % th) + th) % th;
  for (int32_t y = -oy; y < height; y += th)
    for (int32_t x = -ox; x < width; x += tw) {
      int32_t sx = std::max(0, -x), sy = std::max(0, -y);
      int32_t w = std::min(tw - sx, width - (x + sx)), h = std::min(th - sy, height - (y + sy));
      if (w <= 0 || h <= 0) continue;
      SafeBlt(nullptr, texture, sx, sy, dest, x + sx, y + sy, w, h, tw, th, width, height,
              SAFEBLT_BITMAPONLY | SAFEBLT_NOCLIP, mask, alpha, nullptr);
    }
}

// A new bitmap of the size filled as the description says.
ErrorCode buildFilled(const BGPicFill& fill, int32_t width, int32_t height, BitmapHandle** out) {
  OwnedBitmap bitmap(AllocBitmap(width, height, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  switch (fill.style) {
    case FILLGRADIENT:
      if (ErrorCode e = FillBitmapGradient(bitmap.get(), &fill.gradient)) return e;
      break;
    case FILLTEXTURE:
      FillBitmapRect(bitmap.get(), 0, 0, width, height, 0);
      if (fill.bitmap)
        tile(bitmap.get(), width, height, fill.bitmap, nullptr, nullptr, fill.textureX,
             fill.textureY);
      break;
    default:
      // A fresh bitmap holds zero pixels already (a black picture).
      if (!FillWritesZeroPixels(bitmap.get(), fill.colour))
        FillBitmapRect(bitmap.get(), 0, 0, width, height, fill.colour);
      break;
  }
  *out = bitmap.release();
  return ERR_NONE;
}

// "colors": a flat list of colour, position pairs.
ErrorCode readColourPairs(VmState* L, int table, const char* name, GradientFill* g) {
  VmPushString(L, name);
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    VmSetTop(L, -2);
    return ERR_NONE;
  }
  int list = VmGetTop(L);
  int32_t count = 0;
  ErrorCode e = ERR_NONE;
  for (int n = 0;; n += 2) {
    VmRawGetI(L, list, n);
    VmRawGetI(L, list, n + 1);
    int colourType = VmType(L, -2), positionType = VmType(L, -1);
    if (colourType == VM_TYPE_NIL) {
      VmSetTop(L, -3);
      break;
    }
    if (positionType == VM_TYPE_NIL) {
      e = ERR_MISSINGPARAMTR;
    } else if (colourType != VM_TYPE_NUMBER || positionType != VM_TYPE_NUMBER) {
      SetErrorArgString(name);
      e = ERR_NUMTABLEARG;
    } else if (count >= GRADIENT_PAIRS_MAX) {
      e = ERR_INTERNAL;
    } else {
      double position = VmToNumber(L, -1);
      if (!(position >= 0.0 && position <= 1.0)) e = ERR_WRONGUSAGE;
      g->colours[count] = static_cast<ArgbColor>(VmNumberToInteger(VmToNumber(L, -2)));
      g->positions[count] = position;
      ++count;
    }
    VmSetTop(L, -3);
    if (e) break;
  }
  VmSetTop(L, -2);
  if (e) return e;
  if (count == 1) return ERR_WRONGUSAGE;
  g->pairCount = count;
  return ERR_NONE;
}

// The centre, balance, border and colour pairs of a gradient, under the
// names with the prefix ("" for CreateGradientBGPic, "gradient" for the
// fill style of LoadBGPic).
ErrorCode readGradientFields(VmState* L, int table, const char* prefix, GradientFill* g) {
  char name[64];
  struct Field {
    const char* key;
    double* to;
  };
  const Field fields[] = {{"centerx", &g->centreX},
                          {"centery", &g->centreY},
                          {"balance", &g->balance},
                          {"border", &g->border}};
  for (const Field& f : fields) {
    std::snprintf(name, sizeof name, "%s%s", prefix, f.key);
    int found = 0;
    double value = 0;
    if (!GetTableFieldNumber(L, table, name, &value, &found)) continue;
    if ((g->type == 3 || g->type == 4) && !(value >= 0.0 && value <= 1.0)) return ERR_WRONGUSAGE;
    *f.to = value;
  }
  std::snprintf(name, sizeof name, "%scolors", prefix);
  return readColourPairs(L, table, name, g);
}

// The size of the current picture, the default of the gradient and
// texture makers.
void currentSourceSize(int32_t* width, int32_t* height) {
  DisplayRecord* d = GetCurrentDisplay();
  const BGPic* pic = d ? d->bgpic : nullptr;
  *width = pic ? pic->sourceWidth : 0;
  *height = pic ? pic->sourceHeight : 0;
}

// Arguments of CreateGradientBGPic after the id: type, colours, size,
// angle, options.
ErrorCode readGradientArgs(VmState* L, GradientFill* g, int32_t* width, int32_t* height) {
  int32_t type = VmCheckInteger(L, 2);
  auto start = static_cast<ArgbColor>(VmCheckInteger(L, 3));
  auto end = static_cast<ArgbColor>(VmCheckInteger(L, 4));
  currentSourceSize(width, height);
  int top = VmGetTop(L);
  if (top >= 5 && !isTableAt(L, 5)) *width = VmCheckInteger(L, 5);
  if (top >= 6 && !isTableAt(L, 6)) *height = VmCheckInteger(L, 6);
  double angle = top >= 7 && !isTableAt(L, 7) ? VmCheckNumber(L, 7) : 0.0;
  if (type != 2 && type != 4) angle = 0;
  InitGradientFill(g, type, start, end, angle);
  if (*width < 1 || *height < 1) return ERR_BADDIMENSIONS;
  if (isTableAt(L, top) && top >= 5)
    if (ErrorCode e = readGradientFields(L, top, "", g)) return e;
  return ERR_NONE;
}

// Arguments of CreateTexturedBGPic after the id: brush, size, offsets.
ErrorCode readTextureArgs(VmState* L, BGPicBrushImages* brush, int32_t* width, int32_t* height,
                          int32_t* offsetX, int32_t* offsetY) {
  ObjectId brushId = GetObjectIdArg(L, 2, nullptr);
  currentSourceSize(width, height);
  if (VmGetTop(L) >= 3) *width = VmCheckInteger(L, 3);
  if (VmGetTop(L) >= 4) *height = VmCheckInteger(L, 4);
  *offsetX = VmOptInteger(L, 5, 0);
  *offsetY = VmOptInteger(L, 6, 0);
  if (*width < 1 || *height < 1) return ERR_BADDIMENSIONS;
  // Without the brush library no brush exists.
  if (!brushHooks) return ObjectNotFound(brushId, ERR_FINDBRUSH);
  return brushHooks->getBrush(L, brushId, brush);
}

// Copies each distinct image of the picture's three triples.
struct TripleCopy {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  void release() {
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    bitmap = mask = alpha = nullptr;
  }
};
ErrorCode copyTriple(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                     int32_t height, TripleCopy* out) {
  if (!bitmap) return ERR_NONE;
  ErrorCode e = ConvertBitmap(bitmap, mask, alpha, 0, 0, width, height, 0, 0, nullptr, nullptr,
                              &out->bitmap, &out->mask, &out->alpha);
  return e == ERR_MEM ? ERR_BITMAP : e;
}

// Makes the picture the display's background: the display takes its size
// (the window follows) and its fill description; an output selection
// ends first. A picture the display made for itself is freed once no
// display shows it.
ErrorCode showOnDisplay(VmState* L, DisplayRecord* d, BGPic* pic, int32_t x, int32_t y) {
  if (shownByDisplay(pic, d)) return ERR_MULTIBGPIC;
  BGPic* old = d->bgpic;
  if (old != pic) {
    // What plays or buffers on the old picture ends with it: its videos,
    // and double buffering (whose back buffer has the old picture's size).
    if (displayContext.videoHooks.stop) displayContext.videoHooks.stop(L, d);
    if (d->doubleBuffer && brushHooks && brushHooks->endDoubleBuffer)
      if (ErrorCode e = brushHooks->endDoubleBuffer(L, d)) return e;
  }
  if (d->outputKind != OBJECT_DISPLAY && !d->doubleBuffer)
    if (ErrorCode e = EndOutputSelection(L, d, 0)) return e;
  d->bgpic = pic;
  uint32_t flags = d->state == DISPSTATE_CLOSED ? static_cast<uint32_t>(RESIZE_CLOSED) : 0u;
  ErrorCode e = ResizeDisplay(L, d, x, y, pic->sourceWidth, pic->sourceHeight, d->smooth,
                              d->scaleWidth, d->scaleHeight, flags);
  if (e) {
    d->bgpic = old;
    return e;
  }
  if (old != pic && d->ownBGPic && old) {
    old->head.number = 0;
    old->head.autoId = old;
    old->freePending = 1;
    d->ownBGPic = 0;
  }
  d->fill = pic->fill;
  d->fill.bitmap = nullptr;  // the picture keeps its texture
  if (old && old != pic) {
    // The sprites shown on the old picture, and every async drawing (they
    // step frames of the old screen), go.
    FreeSpriteInstances(old);
    FreeAllAsyncDraws(L);
  }
  if (GetCurrentDisplay() == d) SetCurrentBGPic(pic);
  FreePendingBGPics(L);
  return ERR_NONE;
}

// ---- Commands ----

// CreateBGPic(id, width, height[, colour = 0]).
int cmdCreateBGPic(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int32_t width = VmCheckInteger(L, 2), height = VmCheckInteger(L, 3);
  auto colour = static_cast<ArgbColor>(VmOptInteger(L, 4, 0));
  int automatic = 0;
  ObjectId id{};
  if (ErrorCode e = destinationId(L, 1, &id, &automatic)) return e;
  ErrorCode e = CreateColorBGPic(L, &id, automatic, width, height, colour, nullptr);
  return finish(L, e, automatic, id);
}

// CreateGradientBGPic(id, type, start, end[, width, height][, angle][, options]).
int cmdCreateGradientBGPic(VmState* L) {
  CheckArgCount(L, 4, 8, 0, 0);
  BitmapHandle* raw = nullptr;
  int32_t width = 0, height = 0;
  BGPicFill fill{};
  fill.style = FILLGRADIENT;
  if (ErrorCode e = readGradientArgs(L, &fill.gradient, &width, &height)) return e;
  fill.colour = fill.gradient.startColour;
  fill.endColour = fill.gradient.endColour;
  if (ErrorCode e = buildFilled(fill, width, height, &raw)) return e;
  OwnedBitmap bitmap(raw);
  int automatic = 0;
  ObjectId id{};
  if (ErrorCode e = destinationId(L, 1, &id, &automatic)) return e;
  ErrorCode e = AddBGPicObject(&id, automatic, 1, width, height, width, nullptr, bitmap.get(),
                               nullptr, -1, nullptr, nullptr, &fill, nullptr);
  if (!e) bitmap.release();
  return finish(L, e, automatic, id);
}

// CreateTexturedBGPic(id, brush[, width, height][, x offset, y offset]).
int cmdCreateTexturedBGPic(VmState* L) {
  CheckArgCount(L, 2, 6, 0, 0);
  BGPicBrushImages brush{};
  int32_t width = 0, height = 0, ox = 0, oy = 0;
  if (ErrorCode e = readTextureArgs(L, &brush, &width, &height, &ox, &oy)) return e;
  OwnedBitmap bitmap(AllocBitmap(width, height, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  FillBitmapRect(bitmap.get(), 0, 0, width, height, 0);
  tile(bitmap.get(), width, height, brush.bitmap, brush.mask, brush.alpha, ox, oy);
  // The description keeps its own copy of the texture, so that the picture
  // can be built again at another size after the brush is gone.
  BGPicFill fill{};
  fill.style = FILLTEXTURE;
  fill.textureBrush = GetObjectIdArg(L, 2, nullptr);
  fill.textureX = ox;
  fill.textureY = oy;
  BitmapHandle *texture = nullptr, *textureMask = nullptr, *textureAlpha = nullptr;
  ErrorCode e = ConvertBitmap(brush.bitmap, nullptr, nullptr, 0, 0, brush.width, brush.height, 0, 0,
                              nullptr, nullptr, &texture, &textureMask, &textureAlpha);
  if (e) return e == ERR_MEM ? ERR_BITMAP : e;
  OwnedBitmap textureOwner(texture);
  fill.bitmap = texture;
  int automatic = 0;
  ObjectId id{};
  if ((e = destinationId(L, 1, &id, &automatic))) return e;
  e = AddBGPicObject(&id, automatic, 1, width, height, width, nullptr, bitmap.get(), nullptr, -1,
                     nullptr, nullptr, &fill, nullptr);
  if (!e) {
    bitmap.release();
    textureOwner.release();
  }
  return finish(L, e, automatic, id);
}

// BrushToBGPic(brush, picture).
int cmdBrushToBGPic(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId brushId = GetObjectIdArg(L, 1, nullptr);
  if (!brushHooks) return ObjectNotFound(brushId, ERR_FINDBRUSH);
  BGPicBrushImages brush{};
  if (ErrorCode e = brushHooks->getBrush(L, brushId, &brush)) return e;
  if (brush.transformedVector) return ERR_TFVBRUSHBGPIC;
  TripleCopy copy;
  if (ErrorCode e =
          copyTriple(brush.bitmap, brush.mask, brush.alpha, brush.width, brush.height, &copy))
    return e;
  int automatic = 0;
  ObjectId id{};
  ErrorCode e = destinationId(L, 2, &id, &automatic);
  if (!e)
    e = AddBGPicObject(&id, automatic, 0, brush.width, brush.height, brush.width, nullptr,
                       copy.bitmap, nullptr, brush.keyColour, copy.mask, copy.alpha, nullptr,
                       nullptr);
  if (e) copy.release();
  return finish(L, e, automatic, id);
}

// BGPicToBrush(picture, brush).
int cmdBGPicToBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId picId = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, picId, &pic, 0)) return e;
  if (pic->rerender && pic->pictureHandle &&
      (pic->sourceWidth != pic->firstWidth || pic->sourceHeight != pic->firstHeight))
    return ERR_TFVBGPICBRUSH;
  if (!brushHooks) return ERR_UNSUPPORTEDFEAT;
  TripleCopy copy;
  if (ErrorCode e = copyTriple(pic->sourceBitmap, pic->sourceMask, pic->sourceAlpha,
                               pic->sourceWidth, pic->sourceHeight, &copy))
    return e;
  BGPicBrushImages images{copy.bitmap,
                          copy.mask,
                          copy.alpha,
                          pic->sourceWidth,
                          pic->sourceHeight,
                          pic->transparentColour,
                          0};
  ErrorCode e = brushHooks->addBrush(L, &id, automatic, &images);
  if (e) copy.release();
  return finish(L, e, automatic, id);
}

// CopyBGPic(source, destination).
int cmdCopyBGPic(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId source = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  if (!automatic && !source.autoId && source.number == id.number) return ERR_WRONGUSAGE;
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, source, &pic, 0)) return e;
  TripleCopy first, script, current;
  auto releaseAll = [&]() {
    first.release();
    script.release();
    current.release();
  };
  ErrorCode e = copyTriple(pic->firstBitmap, pic->firstMask, pic->firstAlpha, pic->firstWidth,
                           pic->firstHeight, &first);
  if (!e && pic->sourceBitmap != pic->firstBitmap)
    e = copyTriple(pic->sourceBitmap, pic->sourceMask, pic->sourceAlpha, pic->sourceWidth,
                   pic->sourceHeight, &script);
  if (!e && pic->bitmap != pic->sourceBitmap && pic->bitmap != pic->firstBitmap)
    e = copyTriple(pic->bitmap, pic->mask, pic->alpha, pic->width, pic->height, &current);
  BGPicFill fill = pic->fill;
  fill.bitmap = nullptr;
  if (!e && pic->fill.bitmap) {
    BitmapHandle *m = nullptr, *a = nullptr;
    e = ConvertBitmap(pic->fill.bitmap, nullptr, nullptr, 0, 0, pic->fill.bitmap->width,
                      pic->fill.bitmap->height, 0, 0, nullptr, nullptr, &fill.bitmap, &m, &a);
  }
  uint32_t* palette = nullptr;
  if (!e && pic->palette) {
    palette = static_cast<uint32_t*>(AllocMemory(256 * sizeof(uint32_t), 0));
    if (!palette)
      e = ERR_MEM;
    else
      std::memcpy(palette, pic->palette, 256 * sizeof(uint32_t));
  }
  if (!e) {
    // The old picture of the destination goes only once the copy exists.
    e = DeleteBGPic(L, id, 0);
  }
  BGPic* made = nullptr;
  if (!e)
    e = AddBGPicObject(&id, automatic, pic->rerender, pic->firstWidth, pic->firstHeight,
                       pic->widthAsMade, pic->pictureHandle, first.bitmap, palette,
                       pic->transparentColour, first.mask, first.alpha, &fill, &made);
  if (e) {
    releaseAll();
    FreeBitmap(fill.bitmap);
    FreeMemory(palette);
    return e;
  }
  if (pic->pictureHandle) RetainPictureHandle(static_cast<PictureHandle*>(pic->pictureHandle));
  made->loaderValue = pic->loaderValue;
  if (script.bitmap) {
    made->sourceBitmap = script.bitmap;
    made->sourceMask = script.mask;
    made->sourceAlpha = script.alpha;
  }
  made->sourceWidth = pic->sourceWidth;
  made->sourceHeight = pic->sourceHeight;
  made->bitmap = current.bitmap ? current.bitmap : made->sourceBitmap;
  made->mask = current.bitmap ? current.mask : made->sourceMask;
  made->alpha = current.bitmap ? current.alpha : made->sourceAlpha;
  made->width = current.bitmap ? pic->width : pic->sourceWidth;
  made->height = current.bitmap ? pic->height : pic->sourceHeight;
  return finish(L, ERR_NONE, automatic, id);
}

// FreeBGPic(id).
int cmdFreeBGPic(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return DeleteBGPic(L, GetObjectIdArg(L, 1, nullptr), 1);
}

// ScaleBGPic(id, width, height[, smooth = False]).
int cmdScaleBGPic(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, BGPIC_WRITE)) return e;
  if (shownByDisplay(pic, nullptr)) return ERR_SCALEBGPIC;
  if (selectedAsOutput(pic)) return ERR_MODIFYABGPIC;
  int32_t width = VmTruncInt32(GetNumberArgEx(L, 2, pic->sourceWidth, 1, nullptr));
  int32_t height = VmTruncInt32(GetNumberArgEx(L, 3, pic->sourceHeight, 1, nullptr));
  int32_t smooth = VmOptFlag(L, 4, 0);
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  if (width == pic->sourceWidth && height == pic->sourceHeight) return 0;
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (width == pic->firstWidth && height == pic->firstHeight) {
    bitmap = pic->firstBitmap;
    mask = pic->firstMask;
    alpha = pic->firstAlpha;
  } else if (pic->rerender && pic->fill.style != FILLNONE) {
    // Gradients and textures are drawn again at the new size, so that
    // scaling up and back gives the picture as it was made.
    if (ErrorCode e = buildFilled(pic->fill, width, height, &bitmap)) return e;
  } else {
    ErrorCode e = TransformBitmap(pic->firstBitmap, pic->firstMask, pic->firstAlpha, 0, 0, nullptr,
                                  pic->firstWidth, pic->firstHeight, width, height, smooth, &bitmap,
                                  &mask, &alpha);
    if (e) return e == ERR_MEM ? ERR_BITMAP : e;
  }
  if (pic->bitmap != pic->sourceBitmap && pic->bitmap != pic->firstBitmap) FreeBitmap(pic->bitmap);
  if (pic->mask != pic->sourceMask && pic->mask != pic->firstMask) FreeBitMask(pic->mask);
  if (pic->alpha != pic->sourceAlpha && pic->alpha != pic->firstAlpha) FreeAlphaChannel(pic->alpha);
  if (pic->sourceBitmap != pic->firstBitmap) FreeBitmap(pic->sourceBitmap);
  if (pic->sourceMask != pic->firstMask) FreeBitMask(pic->sourceMask);
  if (pic->sourceAlpha != pic->firstAlpha) FreeAlphaChannel(pic->sourceAlpha);
  pic->bitmap = pic->sourceBitmap = bitmap;
  pic->mask = pic->sourceMask = mask;
  pic->alpha = pic->sourceAlpha = alpha;
  pic->width = pic->sourceWidth = width;
  pic->height = pic->sourceHeight = height;
  return 0;
}

// LoadBGPic(id, file[, options or transparent colour][, palette list]).
int cmdLoadBGPic(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 2);
  const char* file = resolved.c_str();
  int64_t key = -1;
  int32_t loadAlpha = 0, loadTransparency = 0, fillStyle = FILLNONE, smooth = 0;
  int32_t scaleWidth = 0, scaleHeight = 0;
  char loader[257] = "";
  BGPicFill fill{};
  if (isTableAt(L, 3)) {
    int found = 0;
    double colour = 0;
    if (GetTableFieldNumber(L, 3, "transparency", &colour, &found))
      key = VmNumberToInteger(colour) & 0xFFFFFF;
    readSwitch(L, 3, "loadalpha", &loadAlpha);
    readSwitch(L, 3, "loadtransparency", &loadTransparency);
    readSwitch(L, 3, "smoothscale", &smooth);
    double size = 0;
    int percent = 0;
    if (GetTableFieldNumberEx(L, 3, "scalewidth", 0, 1, &size, &percent, &found))
      scaleWidth = percent ? -VmTruncInt32(size * 100.0) : VmTruncInt32(size);
    if (GetTableFieldNumberEx(L, 3, "scaleheight", 0, 1, &size, &percent, &found))
      scaleHeight = percent ? -VmTruncInt32(size * 100.0) : VmTruncInt32(size);
    GetTableFieldString(L, 3, "loader", loader, sizeof loader, &found);
    GetTableFieldInt(L, 3, "fillstyle", &fillStyle, &found);
    switch (fillStyle) {
      case FILLNONE:
        break;
      case FILLCOLOR:
        GetTableFieldU32(L, 3, "fillcolor", &fill.colour, &found);
        break;
      case FILLGRADIENT:
        if (ErrorCode e = ReadFillGradient(L, 3, &fill.gradient)) return e;
        break;
      case FILLTEXTURE: {
        VmPushString(L, "texturebrush");
        VmGetTable(L, 3);
        fill.textureBrush = GetObjectIdArg(L, VmGetTop(L), nullptr);
        VmSetTop(L, -2);
        GetTableFieldInt(L, 3, "texturex", &fill.textureX, &found);
        GetTableFieldInt(L, 3, "texturey", &fill.textureY, &found);
        break;
      }
      default:
        return ERR_WRONGUSAGE;
    }
    fill.style = fillStyle;
  } else if (VmGetTop(L) >= 3 && VmType(L, 3) != VM_TYPE_NIL) {
    key = VmCheckInteger(L, 3) & 0xFFFFFF;
  }
  if (loadAlpha && loadTransparency) return ERR_WRONGUSAGE;
  if (loadTransparency && key != -1) return ERR_WRONGUSAGE;
  if (loadAlpha && key != -1) return ERR_MASKNALPHA;
  std::unique_ptr<uint32_t, void (*)(void*)> palette(nullptr, FreeMemory);
  if (isTableAt(L, 4)) {
    palette.reset(static_cast<uint32_t*>(AllocMemory(256 * sizeof(uint32_t), 1)));
    if (!palette) return ERR_MEM;
    for (int n = 0; n < 256; ++n) {
      VmRawGetI(L, 4, n);
      int entry = VmGetTop(L);
      if (VmType(L, entry) != VM_TYPE_TABLE) {
        VmSetTop(L, -2);
        break;
      }
      double value = -1;
      int found = 0;
      GetTableFieldNumber(L, entry, "palette", &value, &found);
      VmSetTop(L, -2);
      if (value == -1) break;
      palette.get()[n] = static_cast<uint32_t>(VmNumberToInteger(value));
    }
  }
  if (fill.style == FILLTEXTURE) {
    if (!brushHooks) return ObjectNotFound(fill.textureBrush, ERR_FINDBRUSH);
    BGPicBrushImages brush{};
    if (ErrorCode e = brushHooks->getBrush(L, fill.textureBrush, &brush)) return e;
    BitmapHandle *m = nullptr, *a = nullptr;
    ErrorCode e = ConvertBitmap(brush.bitmap, nullptr, nullptr, 0, 0, brush.width, brush.height, 0,
                                0, nullptr, nullptr, &fill.bitmap, &m, &a);
    if (e) return e == ERR_MEM ? ERR_BITMAP : e;
  }
  OwnedBitmap textureOwner(fill.bitmap);

  PictureRequest request{};
  request.width = scaleWidth;
  request.height = scaleHeight;
  request.smooth = smooth;
  request.wantAlpha = loadAlpha;
  request.wantMask = loadTransparency;
  PictureResult result{};
  if (ErrorCode e = OpenPictureHandle(file, loader[0] ? loader : nullptr, &request, &result))
    return e;
  std::unique_ptr<PictureHandle, PictureReleaser> picture(result.handle);
  if (loadTransparency && !result.isVector && result.transparency >= 0)
    key = result.transparency & 0xFFFFFF;
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture.get(), &width, &height);
  if (result.isVector) key = -1;
  const int32_t withAlpha = loadAlpha && result.hasAlpha ? 1 : 0;
  // While preloading no display gives the bitmaps their form yet: a pixel
  // picture keeps its picture until the first opening builds its images.
  const bool deferred = !result.isVector && preloading(L);
  OwnedBitmap bitmap;
  OwnedMask mask;
  OwnedAlpha alpha;
  if (!deferred) {
    BitmapHandle *rawBitmap = nullptr, *rawMask = nullptr, *rawAlpha = nullptr;
    if (ErrorCode e = BuildLoadedBGPicImages(picture.get(), &key, withAlpha, fill, &rawBitmap,
                                             &rawMask, &rawAlpha))
      return e;
    bitmap.reset(rawBitmap);
    mask.reset(rawMask);
    alpha.reset(rawAlpha);
  }
  // A vector picture keeps its picture so that it can be drawn again.
  void* keep = result.isVector || deferred ? picture.get() : nullptr;
  int automatic = 0;
  ObjectId id{};
  if (ErrorCode e = destinationId(L, 1, &id, &automatic)) return e;
  BGPic* made = nullptr;
  ErrorCode e =
      AddBGPicObject(&id, automatic, result.isVector, width, height, width, keep, bitmap.get(),
                     palette.get(), key, mask.get(), alpha.get(), &fill, &made);
  if (e) return e;
  bitmap.release();
  mask.release();
  alpha.release();
  palette.release();
  textureOwner.release();
  if (keep) picture.release();
  made->loaderValue = result.loaderIndex;
  made->deferredLoad = deferred ? 1 : 0;
  made->loadAlpha = withAlpha;
  return finish(L, ERR_NONE, automatic, id);
}

// DisplayBGPic(id[, {x, y}]).
int cmdDisplayBGPic(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t x = 0, y = 0;
  ReadXYOptions(L, 2, GetCurrentDisplay(), &x, &y);
  return ShowBGPic(L, id, x, y, 0, nullptr, nullptr);
}

// DisplayBGPicPart(id, x, y, width, height[, dx = x][, dy = y][, layers or {layers}]).
int cmdDisplayBGPicPart(VmState* L) {
  CheckArgCount(L, 5, 8, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t sx = VmCheckInteger(L, 2), sy = VmCheckInteger(L, 3);
  int32_t width = VmCheckInteger(L, 4), height = VmCheckInteger(L, 5);
  int32_t dx = VmOptInteger(L, 6, sx), dy = VmOptInteger(L, 7, sy);
  int32_t layers = 0;
  int options = 0;
  if (isTableAt(L, 8)) {
    readSwitch(L, 8, "layers", &layers);
    options = 8;
  } else if (VmGetTop(L) >= 8) {
    layers = VmToTruth(L, 8);
  }
  if (!brushHooks) return ERR_UNSUPPORTEDFEAT;
  return brushHooks->drawPart(L, id, sx, sy, width, height, dx, dy, layers, options);
}

// SelectBGPic(id[, mode = SELMODE_LAYERS][, extra]).
int cmdSelectBGPic(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  int32_t mode = VmOptInteger(L, 2, 2);
  int32_t extra = VmOptInteger(L, 3, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (mode != 2) {
    ObjectId id = GetObjectIdArg(L, 1, nullptr);
    if (mode != 0 && mode != 1) return ERR_WRONGUSAGE;
    if (!brushHooks) return ERR_UNSUPPORTEDFEAT;
    return brushHooks->selectOutput(L, id, mode, extra);
  }
  BGPic* pic = nullptr;
  if (VmGetTop(L) < 1 || VmType(L, 1) == VM_TYPE_NIL) {
    pic = d ? d->bgpic : nullptr;
    if (!pic) return ERR_WRONGUSAGE;
  } else if (ErrorCode e = GetBGPicObject(L, GetObjectIdArg(L, 1, nullptr), &pic, 0)) {
    return e;
  }
  if (d->outputKind == OBJECT_BGPIC && GetCurrentBGPic() == pic) return 0;
  if (d->outputKind != OBJECT_DISPLAY && !d->doubleBuffer)
    if (ErrorCode e = EndOutputSelection(L, d, 0)) return e;
  if (!d->layers) return ERR_NOLAYERS;
  if (shownByDisplay(pic, d)) return ERR_SELECTBGPIC;
  if (!d->dirty.entries) {
    d->dirty.entries = static_cast<DirtyRect*>(AllocMemory(DIRTY_BLOCK * sizeof(DirtyRect), 0));
    if (!d->dirty.entries) return ERR_MEM;
    d->dirty.capacity = DIRTY_BLOCK;
  }
  ClearDirtyRects(&d->dirty);
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  SetCurrentBGPic(pic);
  d->outputKind = OBJECT_BGPIC;
  return 0;
}

const CommandTableEntry BGPIC_MAKING_COMMANDS[] = {
    {"DisplayBGPic", cmdDisplayBGPic},
    {"DisplayBGPicPart", cmdDisplayBGPicPart},
    {"ScaleBGPic", cmdScaleBGPic},
    {"CreateGradientBGPic", cmdCreateGradientBGPic},
    {"CreateRainbowBGPic", cmdCreateGradientBGPic},
    {"CreateTexturedBGPic", cmdCreateTexturedBGPic},
    {"BrushToBGPic", cmdBrushToBGPic},
    {"BGPicToBrush", cmdBGPicToBrush},
    {"CreateBGPic", cmdCreateBGPic},
    {"FreeBGPic", cmdFreeBGPic},
    {"LoadBGPic", cmdLoadBGPic},
    {"SelectBGPic", cmdSelectBGPic},
    {"EndSelect", CmdEndSelect},
    {"CopyBGPic", cmdCopyBGPic},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode ShowBGPicOnDisplay(VmState* L, DisplayRecord* display, BGPic* picture, int32_t x,
                             int32_t y) {
  return showOnDisplay(L, display, picture, x, y);
}

int IsBGPicOutputSelection(const BGPic* pic) { return selectedAsOutput(pic) ? 1 : 0; }

ErrorCode BuildLoadedBGPicImages(PictureHandle* picture, int64_t* key, int32_t withAlpha,
                                 const BGPicFill& fill, BitmapHandle** outBitmap,
                                 BitmapHandle** outMask, BitmapHandle** outAlpha) {
  *outBitmap = *outMask = *outAlpha = nullptr;
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture, &width, &height);
  const uint32_t* pixels = GetPictureHandlePixels(picture);
  if (!pixels) return ERR_BITMAP;
  BitmapHandle *rawBitmap = nullptr, *rawMask = nullptr, *rawAlpha = nullptr;
  if (ErrorCode e = CreateBitmapFromRGB(pixels, *key, width, height, width, 0, withAlpha ? 8u : 0u,
                                        nullptr, &rawBitmap, &rawMask, &rawAlpha))
    return e;
  OwnedBitmap bitmap(rawBitmap);
  OwnedMask mask(rawMask);
  OwnedAlpha alpha(rawAlpha);
  if (fill.style != FILLNONE && (mask || alpha)) {
    // The fill lies under the picture, which is drawn through its alpha
    // channel or mask: the result has neither.
    BitmapHandle* under = nullptr;
    if (ErrorCode e = buildFilled(fill, width, height, &under)) return e;
    SafeBlt(nullptr, bitmap.get(), 0, 0, under, 0, 0, width, height, width, height, width, height,
            SAFEBLT_BITMAPONLY | SAFEBLT_NOCLIP, alpha ? nullptr : mask.get(), alpha.get(),
            nullptr);
    bitmap.reset(under);
    mask.reset();
    alpha.reset();
    *key = -1;
  }
  *outBitmap = bitmap.release();
  *outMask = mask.release();
  *outAlpha = alpha.release();
  return ERR_NONE;
}

ErrorCode GetSelectableBGPic(VmState* L, ObjectId id, BGPic** out) {
  *out = nullptr;
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, BGPIC_WRITE)) return e;
  if (shownByDisplay(pic, nullptr)) return ERR_SELECTBGPIC2;
  if (!pic->sourceBitmap) return ERR_BGPICTYPE;
  *out = pic;
  return ERR_NONE;
}

ErrorCode DrawBrushIntoBGPic(VmState* L, ObjectId brushId, BGPic* pic, int32_t x, int32_t y) {
  if (!brushHooks) return ObjectNotFound(brushId, ERR_FINDBRUSH);
  BGPicBrushImages brush{};
  if (ErrorCode e = brushHooks->getBrush(L, brushId, &brush)) return e;
  x = ResolveXPos(x, brush.width, pic->width, 0);
  y = ResolveYPos(y, brush.height, pic->height, 0);
  int32_t sx = std::max(0, -x), sy = std::max(0, -y);
  int32_t w = std::min(brush.width - sx, pic->width - (x + sx));
  int32_t h = std::min(brush.height - sy, pic->height - (y + sy));
  if (w <= 0 || h <= 0) return ERR_NONE;
  SafeBlt(nullptr, brush.bitmap, sx, sy, pic->bitmap, x + sx, y + sy, w, h, brush.width,
          brush.height, pic->width, pic->height, SAFEBLT_BITMAPONLY | SAFEBLT_NOCLIP, brush.mask,
          brush.alpha, nullptr);
  return ERR_NONE;
}

ErrorCode BuildDisplayFill(VmState* L, const BGPicFill& fill, int32_t width, int32_t height,
                           BitmapHandle** out) {
  bool namedBrush = fill.textureBrush.autoId || fill.textureBrush.number;
  if (fill.style != FILLTEXTURE || !namedBrush) return buildFilled(fill, width, height, out);
  if (!brushHooks) return ObjectNotFound(fill.textureBrush, ERR_FINDBRUSH);
  BGPicBrushImages brush{};
  if (ErrorCode e = brushHooks->getBrush(L, fill.textureBrush, &brush)) return e;
  OwnedBitmap bitmap(AllocBitmap(width, height, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  FillBitmapRect(bitmap.get(), 0, 0, width, height, 0);
  tile(bitmap.get(), width, height, brush.bitmap, brush.mask, brush.alpha, fill.textureX,
       fill.textureY);
  *out = bitmap.release();
  return ERR_NONE;
}

const CommandTableEntry* GetBGPicCommands() { return BGPIC_MAKING_COMMANDS; }

void SetBGPicBrushHooks(const BGPicBrushHooks* hooks) { brushHooks = hooks; }

ErrorCode CreateColorBGPic(VmState*, ObjectId* id, int automatic, int32_t width, int32_t height,
                           ArgbColor colour, BGPic** out) {
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  OwnedBitmap bitmap(AllocBitmap(width, height, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  FillBitmapRect(bitmap.get(), 0, 0, width, height, colour);
  BGPicFill fill{};
  fill.style = FILLCOLOR;
  fill.colour = colour;
  ErrorCode e = AddBGPicObject(id, automatic, 0, width, height, width, nullptr, bitmap.get(),
                               nullptr, -1, nullptr, nullptr, &fill, out);
  if (!e) bitmap.release();
  return e;
}

ErrorCode ReadFillGradient(VmState* L, int table, GradientFill* g) {
  int found = 0;
  int32_t type = 2;
  uint32_t start = 0, end = 0;
  double angle = 0;
  GetTableFieldInt(L, table, "gradientstyle", &type, &found);
  GetTableFieldU32(L, table, "gradientstartcolor", &start, &found);
  GetTableFieldU32(L, table, "gradientendcolor", &end, &found);
  GetTableFieldNumber(L, table, "gradientangle", &angle, &found);
  InitGradientFill(g, type, start, end, angle);
  return readGradientFields(L, table, "gradient", g);
}

void ReadXYOptions(VmState* L, int index, DisplayRecord*, int32_t* x, int32_t* y) {
  *x = *y = CENTER_COORDINATE;
  if (VmGetTop(L) != index || !isTableAt(L, index)) return;
  int found = 0;
  GetTableFieldInt(L, index, "x", x, &found);
  GetTableFieldInt(L, index, "y", y, &found);
}

ErrorCode ShowBGPic(VmState* L, ObjectId id, int32_t x, int32_t y, int capture,
                    BitmapHandle** newImage, BitmapHandle** oldImage) {
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, 0)) return e;
  if (VideoRecorderActive() && (pic->mask || pic->alpha)) return ERR_VIDRECTRANS;
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_WRONGUSAGE;
  OwnedBitmap old;
  if (capture) {
    // What the screen shows now, at the new picture's size.
    BGPic* shown = d->bgpic;
    BitmapHandle* from = d->windowBitmap ? d->windowBitmap : shown->bitmap;
    BitmapHandle *scaled = nullptr, *m = nullptr, *a = nullptr;
    ErrorCode e = TransformBitmap(from, nullptr, nullptr, 0, 0, nullptr, from->width, from->height,
                                  pic->width, pic->height, 0, &scaled, &m, &a);
    if (e || !scaled) return ERR_BITMAP;
    old.reset(scaled);
  }
  // The display's reconfiguration makes the picture its background and
  // adapts the window: {bgpic = id, x, y}, a kept coordinate left out.
  const int top = VmGetTop(L);
  VmNewTable(L);
  VmPushString(L, "bgpic");
  PushObjectId(L, id);
  VmSetTable(L, -3);
  for (auto [name, value] : {std::pair{"x", x}, std::pair{"y", y}}) {
    if (value == KEEPPOSITION) continue;
    SetTableFieldInt(L, name, value == CENTER_COORDINATE ? POS_CENTER : value);
  }
  ErrorCode shown = SetDisplayAttributesCore(L, d, VmGetTop(L));
  VmSetTop(L, top);
  if (shown) return shown;
  if (!capture) return ERR_NONE;
  // The screen keeps the old picture until the transition draws.
  BitmapHandle* shownNew = GetShownBGPicImage(L, d, pic);
  BitmapHandle *copy = nullptr, *m = nullptr, *a = nullptr;
  ErrorCode e = ConvertBitmap(shownNew, nullptr, nullptr, 0, 0, shownNew->width, shownNew->height,
                              0, 0, nullptr, nullptr, &copy, &m, &a);
  if (e || !copy) return ERR_BITMAP;
  if (d->windowBitmap) {
    BltBitmapToTarget(old.get(), 0, 0, d->windowBitmap, 0, 0, old->width, old->height);
    RefreshDisplay(L, d, REFRESH_FORCE);
  }
  *newImage = copy;
  *oldImage = old.release();
  return ERR_NONE;
}

BitmapHandle* GetShownBGPicImage(VmState* L, DisplayRecord* d, BGPic* pic) {
  if (d->bgpic != pic || !d->windowBitmap) return pic->bitmap;
  // With layers the window bitmap is their composition, made afresh here;
  // without, it holds the picture as drawn.
  if (d->layers)
    Redraw(L, d, pic, d->windowBitmap, 0, 0, pic->width, pic->height, REDRAW_SCALEDBACKGROUND);
  return d->windowBitmap;
}

ErrorCode GetBGPicBitmapWithLayers(VmState* L, BGPic* pic, int32_t x, int32_t y, int32_t width,
                                   int32_t height, BitmapHandle** out, int* owned) {
  *out = nullptr;
  *owned = 0;
  DisplayRecord* d = GetCurrentDisplay();
  bool scaled = d && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0;
  if (d && d->bgpic == pic && !scaled && d->windowBitmap) {
    // The shown picture: its window bitmap is the buffer that drawing and
    // the layer composition go into. Without layers it already holds
    // everything; with layers the rectangle is composed again.
    LayerRect r;
    if (d->layers && IntersectRects(LayerRect{x, y, width, height},
                                    LayerRect{0, 0, pic->width, pic->height}, &r))
      Redraw(L, d, pic, d->windowBitmap, r.x, r.y, r.width, r.height, 0);
    *out = d->windowBitmap;
    return ERR_NONE;
  }
  OwnedBitmap bitmap(AllocBitmap(pic->sourceWidth, pic->sourceHeight, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  uint32_t flags = scaled ? REDRAW_SOURCESIZE : 0u;
  // Outside the rectangle the copy shows the bare picture.
  BitmapHandle* background = scaled ? pic->sourceBitmap : pic->bitmap;
  if (background)
    BltBitmapToTarget(background, 0, 0, bitmap.get(), 0, 0,
                      std::min(pic->sourceWidth, background->width),
                      std::min(pic->sourceHeight, background->height));
  LayerRect r;
  if (IntersectRects(LayerRect{x, y, width, height},
                     LayerRect{0, 0, pic->sourceWidth, pic->sourceHeight}, &r))
    Redraw(L, d, pic, bitmap.get(), r.x, r.y, r.width, r.height, flags);
  *out = bitmap.release();
  *owned = 1;
  return ERR_NONE;
}

ErrorCode DrawBGPicLayersInto(VmState* L, ObjectId id, BitmapHandle* copy) {
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, 0)) return e;
  if (!FirstLayer(pic)) return ERR_NONE;
  BitmapHandle* composed = nullptr;
  int owned = 0;
  if (ErrorCode e = GetBGPicBitmapWithLayers(L, pic, 0, 0, pic->sourceWidth, pic->sourceHeight,
                                             &composed, &owned))
    return e;
  OwnedBitmap keep(owned ? composed : nullptr);
  BltBitmapToTarget(composed, 0, 0, copy, 0, 0, std::min(composed->width, copy->width),
                    std::min(composed->height, copy->height));
  return ERR_NONE;
}

ErrorCode CopyBGPicImages(VmState* L, ObjectId id, BitmapHandle** bitmap, BitmapHandle** mask,
                          BitmapHandle** alpha, int32_t* width, int32_t* height) {
  BGPic* pic = nullptr;
  if (ErrorCode e = GetBGPicObject(L, id, &pic, 0)) return e;
  TripleCopy copy;
  if (ErrorCode e = copyTriple(pic->sourceBitmap, pic->sourceMask, pic->sourceAlpha,
                               pic->sourceWidth, pic->sourceHeight, &copy))
    return e;
  *bitmap = copy.bitmap;
  *mask = copy.mask;
  *alpha = copy.alpha;
  *width = pic->sourceWidth;
  *height = pic->sourceHeight;
  return ERR_NONE;
}

ErrorCode MakeTexturedBitmap(VmState* L, BitmapHandle** out, int32_t* width, int32_t* height) {
  BGPicBrushImages brush{};
  int32_t ox = 0, oy = 0;
  if (ErrorCode e = readTextureArgs(L, &brush, width, height, &ox, &oy)) return e;
  OwnedBitmap bitmap(AllocBitmap(*width, *height, 0, nullptr));
  if (!bitmap) return ERR_BITMAP;
  FillBitmapRect(bitmap.get(), 0, 0, *width, *height, 0);
  tile(bitmap.get(), *width, *height, brush.bitmap, brush.mask, brush.alpha, ox, oy);
  *out = bitmap.release();
  return ERR_NONE;
}

ErrorCode MakeGradientBitmap(VmState* L, BitmapHandle** out, int32_t* width, int32_t* height) {
  BGPicFill fill{};
  fill.style = FILLGRADIENT;
  if (ErrorCode e = readGradientArgs(L, &fill.gradient, width, height)) return e;
  return buildFilled(fill, *width, *height, out);
}

ErrorCode ReadGradientOptions(VmState* L, int index, GradientFill* gradient) {
  if (VmGetTop(L) < index || !isTableAt(L, index)) return ERR_NONE;
  return readGradientFields(L, index, "", gradient);
}

ErrorCode ReadGradientFields(VmState* L, int table, const char* prefix, GradientFill* gradient) {
  return readGradientFields(L, table, prefix, gradient);
}

void SetFillStyleFields(VmState* L, const char* prefix, const GradientFill* gradient) {
  // Keys are cut to 255 characters, as every key of a style table is.
  char key[256];
  auto name = [&](const char* field) {
    std::snprintf(key, sizeof key, "%s%s", prefix, field);
    return key;
  };
  SetTableFieldInt(L, name("style"), gradient->type);
  SetTableFieldU32(L, name("startcolor"), gradient->startColour);
  SetTableFieldU32(L, name("endcolor"), gradient->endColour);
  SetTableFieldNumber(L, name("angle"), gradient->angle);
  SetTableFieldNumber(L, name("centerx"), gradient->centreX);
  SetTableFieldNumber(L, name("centery"), gradient->centreY);
  SetTableFieldNumber(L, name("balance"), gradient->balance);
  SetTableFieldNumber(L, name("border"), gradient->border);
  const int32_t pairs = std::clamp(gradient->pairCount, 0, GRADIENT_PAIRS_MAX);
  if (pairs == 0) return;
  VmPushString(L, name("colors"));
  VmNewTableSized(L, 2 * pairs, 0);
  // A flat list from index 0, as the reader takes it: colour, position.
  for (int32_t i = 0; i < pairs; ++i) {
    VmPushNumber(L, gradient->colours[i]);
    VmRawSetI(L, -2, 2 * i);
    VmPushNumber(L, gradient->positions[i]);
    VmRawSetI(L, -2, 2 * i + 1);
  }
  VmSetTable(L, -3);
}
