// Brush records and the brush list: creation (plain, copied, from pixels,
// deferred pictures), look-up, the busy count, freeing (deferred while the
// brush is busy), video-memory brushes around their display's window, the
// GetAttribute reader and the library opener. Invariant: the list holds
// only fully built records; a record is linked after every part of it was
// made, and what a failing routine made is freed before it returns.
#include <algorithm>
#include <cstring>

#include "draw/draw_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

DrawContext drawContext;

namespace {

BrushObject* firstBrush() { return reinterpret_cast<BrushObject*>(drawContext.brushList); }
BrushObject* nextBrush(BrushObject* b) { return reinterpret_cast<BrushObject*>(b->head.next); }

// L may be null (the host API, display closes): the state the library was
// opened with then releases the object data.
void freeRecord(VmState* L, BrushObject* b) {
  if (!L) L = drawContext.state;
  ReleasePictureHandle(b->picture);
  FreeBitmap(b->bitmap);
  FreeBitMask(b->mask);
  FreeAlphaChannel(b->alpha);
  FreeMemory(b->savedPixels);
  if (L) FreeObjectDataList(L, &b->head.data);
  FreeMemory(b);
}

void unlink(BrushObject* b) {
  for (ObjectHead** p = &drawContext.brushList; *p; p = &(*p)->next) {
    if (*p == &b->head) {
      *p = b->head.next;
      return;
    }
  }
}

// Hides a brush that is still in use: no script finds it any more, and it
// is freed once the use ends.
void hide(BrushObject* b) {
  b->head.number = 0;
  b->head.autoId = b;
  b->releasePending = 1;
}

// The video-memory flags of a brush whose bitmap the adapter made.
void noteVideoBitmap(BrushObject* b, DisplayRecord* display) {
  if (!b->bitmap || !GetBitmapAttr(b->bitmap, 18)) {
    b->video = b->videoContent = 0;
    b->displayId = ObjectId{nullptr, 0};
    b->display = nullptr;
    return;
  }
  b->video = 1;
  b->display = display;
  b->displayId = display ? ObjectId{display->head.autoId, display->head.number} : ObjectId{};
}

// A video bitmap of the size filled with the colour, opaque or (clear)
// fully transparent; it carries its transparency itself when a mask or
// alpha channel is wanted. Null when the adapter made none.
BitmapHandle* makeVideo(int32_t width, int32_t height, ArgbColor colour, int wantPlane, int clear,
                        DisplayRecord* display) {
  OwnedMemory<uint32_t> pixels(static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(width) * static_cast<size_t>(height), 4, 0)));
  if (!pixels) return nullptr;
  uint32_t pixel = (colour & 0xFFFFFFu) | (clear ? 0u : 0xFF000000u);
  std::fill_n(pixels.get(), static_cast<size_t>(width) * static_cast<size_t>(height), pixel);
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (CreateBitmapFromRGB(pixels.get(), -1, width, height, width, 1, wantPlane ? 2u : 0u, display,
                          &bitmap, &mask, &alpha) != ERR_NONE)
    return nullptr;
  if (bitmap && bitmap->video) return bitmap;
  FreeBitmap(bitmap);
  FreeBitMask(mask);
  FreeAlphaChannel(alpha);
  return nullptr;
}

// A video bitmap's pixels as 0xAARRGGBB rows of width; with transparency
// the top bytes are its alpha, which the adapter keeps in the pixels (a
// mask as 0 or 255). Null when out of memory or unreadable.
uint32_t* readVideoPixels(BitmapHandle* bitmap, int32_t width, int32_t height, int transparency) {
  // ReadBitmapRectARGB sizes its buffer with an overflow check.
  uint32_t* copy = ReadBitmapRectARGB(bitmap, 0, 0, width, height, 1);
  if (!copy || !transparency) return copy;
  BitmapLock lock{};
  if (!LockBitmap(bitmap, 1, &lock)) return copy;
  if (lock.bytesPerPixel == 4 && lock.width >= width && lock.height >= height) {
    for (int32_t y = 0; y < height; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(
          lock.address + static_cast<size_t>(y) * static_cast<size_t>(lock.rowLength) * 4);
      uint32_t* out = copy + static_cast<size_t>(y) * static_cast<size_t>(width);
      for (int32_t x = 0; x < width; ++x)
        out[x] = (out[x] & 0xFFFFFFu) | (PixelToColor(row[x], lock.pixelFormat, 1) & 0xFF000000u);
    }
  }
  UnlockBitmap(&lock);
  return copy;
}

// Whether the video-memory brush belongs to the display: bound to it, or
// waiting in memory for its window to open again (the saved copy keeps the
// display's id).
bool ownedBy(const BrushObject* b, const DisplayRecord* display) {
  if (!b->video) return false;
  if (b->display) return b->display == display;
  return b->savedPixels && (b->displayId.autoId || b->displayId.number) &&
         b->displayId.autoId == display->head.autoId && b->displayId.number == display->head.number;
}

// Whether a refused video bitmap may be made in software instead.
bool softwareInstead() {
  const DisplayAdapter* a = GetDisplayAdapter();
  return !a || (a->flags & 0x4);
}

// A software bitmap of the size filled with the colour (unless unfilled),
// with a mask and alpha channel as asked.
ErrorCode makeSoftware(int32_t width, int32_t height, ArgbColor colour, int wantMask, int wantAlpha,
                       int clear, int unfilled, OwnedBitmap* bitmap, BitmapHandle** mask,
                       BitmapHandle** alpha) {
  bitmap->reset(AllocBitmap(width, height, 0, nullptr));
  if (!*bitmap) return ERR_BITMAP;
  if (!unfilled) FillBitmapRect(bitmap->get(), 0, 0, width, height, colour);
  if (wantMask) {
    *mask = AllocBitMask(bitmap->get(), width, height, clear, nullptr, 0);
    if (!*mask) return ERR_ALLOCMASK;
    if (!clear) MaskRectOp(*mask, 0, 0, width, height, 0);
  }
  if (wantAlpha) {
    *alpha = AllocAlphaChannel(width, height, clear, nullptr, 0);
    if (!*alpha) {
      FreeBitMask(*mask);
      *mask = nullptr;
      return ERR_ALLOCALPHA;
    }
    if (!clear) FillAlphaRect(*alpha, 0, 0, width, height, 255);
  }
  return ERR_NONE;
}

}  // namespace

void InitDrawContext() { drawContext = DrawContext{}; }

void FreeDrawContext() {
  // The VM may be gone: object data is not released here.
  drawContext.state = nullptr;
  FreeAllSprites(nullptr);
  while (BrushObject* b = firstBrush()) {
    unlink(b);
    freeRecord(nullptr, b);
  }
  FreeLevelAlphaCache();
  drawContext = DrawContext{};
}

ErrorCode GetBrushObject(VmState* L, ObjectId id, BrushObject** out, uint32_t flags) {
  *out = nullptr;
  BrushObject* found = nullptr;
  for (BrushObject* b = firstBrush(); b && !found; b = nextBrush(b)) {
    if (b->head.number != id.number || b->head.autoId != id.autoId) continue;
    if (b->releasePending && !(flags & BRUSH_PENDING)) continue;
    found = b;
  }
  if (!found) {
    if (id.autoId) return ERR_FINDARRAY;
    SetErrorArgNumber(id.number);
    return ERR_FINDBRUSH;
  }
  if ((flags & BRUSH_NOVECTOR) && found->isVector) return ERR_BRUSHTYPE;
  if (!(flags & BRUSH_HARDWARE) && found->video) return ERR_HWBRUSH;
  if ((flags & BRUSH_MODIFY) && found->locked) return ERR_LOCKEDOBJ;
  // Layers that show a brush about to change move to a private copy, which
  // no script can find and which goes with its last layer.
  if ((flags & BRUSH_MODIFY) && !(flags & BRUSH_NOCOPY) && IsObjectOnLayer(OBJTYPE_BRUSH, id)) {
    ObjectId copyId{};
    BrushObject* copy = nullptr;
    if (ErrorCode e = CopyBrushObject(L, found, &copyId, 1, found->video, found->smoothScale,
                                      found->display, &copy))
      return e;
    hide(copy);
    RepointLayers(OBJTYPE_BRUSH, id, ObjectId{copy, 0});
  }
  *out = found;
  return ERR_NONE;
}

ErrorCode AddBrushObject(ObjectId* id, int automatic, int32_t isVector, int32_t width,
                         int32_t height, int32_t rowLength, int32_t transformed,
                         PictureHandle* picture, BitmapHandle* bitmap, int64_t keyColour,
                         BitmapHandle* mask, BitmapHandle* alpha, const ObjectId* displayId,
                         BrushObject** out) {
  auto* b = static_cast<BrushObject*>(AllocMemory(sizeof(BrushObject), 1));
  if (!b) return ERR_MEM;
  b->head.type = OBJTYPE_BRUSH;
  if (automatic) {
    b->head.autoId = b;
    *id = ObjectId{b, 0};
  } else {
    b->head.number = id->number;
  }
  b->picture = picture;
  b->bitmap = bitmap;
  b->mask = mask;
  b->alpha = alpha;
  b->width = width;
  b->height = height;
  b->rowLength = rowLength;
  b->keyColour = keyColour;
  b->transformed = transformed;
  b->isVector = isVector;
  if (displayId) b->displayId = *displayId;
  ObjectHead** tail = &drawContext.brushList;
  while (*tail) tail = &(*tail)->next;
  *tail = &b->head;
  if (out) *out = b;
  return ERR_NONE;
}

ErrorCode CreateBrushObject(ObjectId* id, int automatic, int32_t width, int32_t height,
                            ArgbColor colour, int wantMask, int wantAlpha, int clear, int unfilled,
                            int videoWanted, int smoothScale, DisplayRecord* display,
                            BrushObject** out) {
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  OwnedBitmap bitmap;
  BitmapHandle *mask = nullptr, *alpha = nullptr;
  int64_t key = -1;
  bool video = false;
  if (videoWanted && (AdapterSupportedBitmapFlags(8) & 8)) {
    bitmap.reset(makeVideo(width, height, colour, wantMask || wantAlpha, clear, display));
    video = bitmap != nullptr;
    if (!video && !softwareInstead()) return ERR_BITMAP;
  }
  if (!video) {
    if (ErrorCode e = makeSoftware(width, height, colour, wantMask, wantAlpha, clear, unfilled,
                                   &bitmap, &mask, &alpha))
      return e;
    if (mask) key = BRUSH_MASK_KEY;
  }
  BrushObject* b = nullptr;
  if (ErrorCode e = AddBrushObject(id, automatic, 0, width, height, width, 0, nullptr, bitmap.get(),
                                   key, mask, alpha, nullptr, &b)) {
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    return e;
  }
  bitmap.release();
  b->smoothScale = smoothScale;
  noteVideoBitmap(b, display);
  if (b->video) b->videoContent = (wantMask ? 1 : 0) | (wantAlpha ? 2 : 0);
  if (out) *out = b;
  return ERR_NONE;
}

ErrorCode CopyBrushObject(VmState* L, BrushObject* source, ObjectId* id, int automatic,
                          int videoWanted, int smoothScale, DisplayRecord* display,
                          BrushObject** out) {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (source->bitmap) {
    int wantVideo = videoWanted && (AdapterSupportedBitmapFlags(8) & 8) && !VideoRecorderActive();
    if (ErrorCode e = ConvertBitmap(source->bitmap, source->mask, source->alpha, 0, 0,
                                    source->width, source->height, wantVideo, smoothScale ? 16 : 0,
                                    source->display, display, &bitmap, &mask, &alpha))
      return e;
  }
  RetainPictureHandle(source->picture);
  BrushObject* b = nullptr;
  ErrorCode e = AddBrushObject(id, automatic, source->isVector, source->width, source->height,
                               source->rowLength, source->transformed, source->picture, bitmap,
                               source->keyColour, mask, alpha, nullptr, &b);
  if (e) {
    ReleasePictureHandle(source->picture);
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    return e;
  }
  b->partX = source->partX;
  b->partY = source->partY;
  b->partWidth = source->partWidth;
  b->partHeight = source->partHeight;
  b->pictureAlpha = source->pictureAlpha;
  b->link = source->link;
  b->loader = source->loader;
  b->smoothScale = smoothScale;
  noteVideoBitmap(b, display);
  if (b->video) {
    if (!source->video) {
      // A copy into video memory is a plain brush of the pixels it has.
      b->isVector = 0;
      ReleasePictureHandle(b->picture);
      b->picture = nullptr;
      b->videoContent = (mask ? 1 : 0) | (alpha ? 2 : 0);
    } else {
      b->videoContent = source->videoContent;
    }
  }
  if (L && source->head.data) {
    if (ErrorCode copyError = CopyObjectDataList(L, source->head.data, &b->head.data)) {
      unlink(b);
      freeRecord(L, b);
      return copyError;
    }
  }
  if (out) *out = b;
  return ERR_NONE;
}

ErrorCode CreateBrushFromPixels(VmState* L, ObjectId* id, int automatic, int32_t width,
                                int32_t height, const BrushPixels* d, BrushObject** out) {
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  // The caller's rows are read at its row length: one shorter than the
  // width would read past each row.
  if (d->pixels && d->rowLength < width) return ERR_WRONGUSAGE;
  if (!automatic) FreeBrushObject(L, *id, 0);
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  int64_t key = -1;
  if (d->pixels) {
    key = (d->flags & 2) ? static_cast<int64_t>(d->keyColour & 0xFFFFFF) : -1;
    if (ErrorCode e =
            CreateBitmapFromRGB(d->pixels, key, width, height, d->rowLength, 0,
                                (d->flags & 1) ? 8u : 0u, nullptr, &bitmap, &mask, &alpha))
      return e;
  } else {
    bitmap = AllocBitmap(width, height, 0, nullptr);
    if (!bitmap) return ERR_BITMAP;
  }
  ErrorCode e = AddBrushObject(id, automatic, 0, width, height, width, 0, nullptr, bitmap, key,
                               mask, alpha, nullptr, out);
  if (e) {
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
  }
  return e;
}

ErrorCode AddDeferredBrush(ObjectId* id, int automatic, PictureHandle* picture, int32_t partX,
                           int32_t partY, int32_t partWidth, int32_t partHeight, int64_t keyColour,
                           int32_t hasAlpha, int32_t isVector, BrushObject** out) {
  int32_t width = 0, height = 0;
  GetPictureHandleSize(picture, &width, &height);
  if (partX < 0 || partY < 0 || partWidth < 1 || partHeight < 1 || partX > width - partWidth ||
      partY > height - partHeight)
    return ERR_COORDSRANGE;
  BrushObject* b = nullptr;
  if (ErrorCode e = AddBrushObject(id, automatic, isVector, width, height, width, 0, picture,
                                   nullptr, keyColour, nullptr, nullptr, nullptr, &b))
    return e;
  RetainPictureHandle(picture);
  b->partX = partX;
  b->partY = partY;
  b->partWidth = partWidth;
  b->partHeight = partHeight;
  b->pictureAlpha = hasAlpha;
  if (out) *out = b;
  return ERR_NONE;
}

ErrorCode RealizeDeferredBrushes(int forceSoftware, int skipAdapterOwned) {
  for (BrushObject* b = firstBrush(); b; b = nextBrush(b)) {
    if (b->bitmap) continue;
    uint32_t videoFlags = AdapterSupportedBitmapFlags(8 | 32);
    if (b->video && (!(videoFlags & 8) || forceSoftware)) b->video = 0;
    if (b->video && skipAdapterOwned && (videoFlags & 32)) continue;
    if (b->video) {
      b->videoContent = (b->keyColour != -1 ? 1 : 0) | (b->pictureAlpha ? 2 : 0);
      if (ErrorCode e = GetHardwareBitmapDisplay(b->displayId, &b->display)) return e;
    }
    const uint32_t* pixels = GetPictureHandlePixels(b->picture);
    if (!pixels) return ERR_BITMAP;
    int32_t pictureWidth = b->rowLength;
    const uint32_t* start =
        pixels + static_cast<size_t>(b->partY) * static_cast<size_t>(pictureWidth) + b->partX;
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    // The part is read in place, rows the picture's width apart.
    if (ErrorCode e = CreateBitmapFromRGB(start, b->keyColour, b->partWidth, b->partHeight,
                                          pictureWidth, b->video, b->pictureAlpha ? 8u : 0u,
                                          b->display, &bitmap, &mask, &alpha))
      return e;
    b->bitmap = bitmap;
    b->mask = mask;
    b->alpha = alpha;
    b->width = b->partWidth;
    b->height = b->partHeight;
    b->rowLength = b->partWidth;
    noteVideoBitmap(b, b->display);
    // A vector brush in software keeps its picture to render it again.
    if (!b->isVector || b->video) {
      ReleasePictureHandle(b->picture);
      b->picture = nullptr;
      b->isVector = 0;
    }
  }
  return ERR_NONE;
}

ErrorCode FreeBrushObject(VmState* L, ObjectId id, int reportMissing) {
  BrushObject* b = nullptr;
  ErrorCode e = GetBrushObject(L, id, &b, BRUSH_NOCOPY | BRUSH_HARDWARE);
  if (e) return reportMissing || e == ERR_LOCKEDOBJ ? e : ERR_NONE;
  if (IsBrushOutputDevice(b)) return ERR_MODIFYABR;
  // A brush that layers show is kept, hidden, until its last layer goes.
  if (IsObjectOnLayer(OBJTYPE_BRUSH, id)) {
    hide(b);
    RepointLayers(OBJTYPE_BRUSH, id, ObjectId{b, 0});
    return ERR_NONE;
  }
  if (b->locked) {
    hide(b);
    return ERR_NONE;
  }
  unlink(b);
  freeRecord(L, b);
  return ERR_NONE;
}

void FreeAllBrushes(VmState* L) {
  while (BrushObject* b = firstBrush()) {
    unlink(b);
    freeRecord(L, b);
  }
  FreeLevelAlphaCache();
  drawContext.state = nullptr;
}

void FreeLevelAlphaCache() {
  FreeAlphaChannel(drawContext.levelAlpha.made);
  drawContext.levelAlpha = LevelAlphaCache{};
}

void FreeDisplayBrushes(DisplayRecord* display) {
  for (BrushObject* b = firstBrush(); b;) {
    BrushObject* next = nextBrush(b);
    if (ownedBy(b, display)) {
      unlink(b);
      freeRecord(nullptr, b);
    }
    b = next;
  }
}

void FreeReleasedBrushes() {
  // The busy count and the layers that show it keep a hidden brush alive.
  for (BrushObject* b = firstBrush(); b;) {
    BrushObject* next = nextBrush(b);
    if (b->releasePending && !b->locked && !IsObjectOnLayer(OBJTYPE_BRUSH, ObjectId{b, 0})) {
      unlink(b);
      freeRecord(nullptr, b);
    }
    b = next;
  }
}

ErrorCode SaveHardwareBrushes(DisplayRecord* display) {
  for (BrushObject* b = firstBrush(); b; b = nextBrush(b)) {
    if (!b->video || b->display != display || !b->bitmap) continue;
    uint32_t* copy = readVideoPixels(b->bitmap, b->width, b->height, b->videoContent);
    if (!copy) return ERR_MEM;
    FreeMemory(b->savedPixels);
    b->savedPixels = copy;
    FreeBitmap(b->bitmap);
    b->bitmap = nullptr;
    // Its display's id stays: only that display's window takes it back.
    b->display = nullptr;
  }
  return ERR_NONE;
}

void RestoreHardwareBrushes(DisplayRecord* display) {
  for (BrushObject* b = firstBrush(); b; b = nextBrush(b)) {
    if (!b->savedPixels || !ownedBy(b, display)) continue;
    // The saved copy holds a mask or an alpha channel in its top bytes, as
    // the video bitmap did.
    uint32_t flags = b->videoContent ? 2u : 1u;
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    if (CreateBitmapFromRGB(b->savedPixels, -1, b->width, b->height, b->width, b->video, flags,
                            display, &bitmap, &mask, &alpha) != ERR_NONE)
      continue;
    b->bitmap = bitmap;
    noteVideoBitmap(b, display);
    if (b->video) {
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    } else {
      // Made in software after all: the transparency becomes its planes.
      b->mask = mask;
      b->alpha = alpha;
    }
    FreeMemory(b->savedPixels);
    b->savedPixels = nullptr;
  }
}

void HoldBrush(BrushObject* brush) { brush->locked++; }

void ReleaseBrush(BrushObject* brush) {
  if (brush->locked > 0) brush->locked--;
  if (brush->locked == 0 && brush->releasePending) FreeReleasedBrushes();
}

void ReplaceBrushBitmaps(BrushObject* b, BitmapHandle* bitmap, BitmapHandle* mask,
                         BitmapHandle* alpha, int32_t width, int32_t height) {
  if (b->bitmap != bitmap) FreeBitmap(b->bitmap);
  if (b->mask != mask) FreeBitMask(b->mask);
  if (b->alpha != alpha) FreeAlphaChannel(b->alpha);
  b->bitmap = bitmap;
  b->mask = mask;
  b->alpha = alpha;
  b->width = width;
  b->height = height;
  b->rowLength = width;
  // A video bitmap that a transform replaced by a software one is no longer
  // in video memory.
  noteVideoBitmap(b, b->display);
}

int ReadBrushAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t count = 0;
    for (BrushObject* b = firstBrush(); b; b = nextBrush(b))
      if (!b->releasePending) count++;
    VmPushNumber(L, count);
    return 1;
  }
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, GetObjectIdArg(L, 2, nullptr), &b, BRUSH_HARDWARE)) return e;
  switch (attribute) {
    case ATTRWIDTH:
      VmPushNumber(L, b->width);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, b->height);
      return 1;
    case ATTRTRANSPARENTCOLOR:
      VmPushNumber(L, static_cast<double>(b->keyColour));
      return 1;
    case ATTRTYPE:
      VmPushNumber(L, b->isVector ? 1 : 0);
      return 1;
    case ATTRHASMASK:
      VmPushNumber(L, b->video ? (b->videoContent & 1) : b->mask != nullptr);
      return 1;
    case ATTRHASALPHA:
      VmPushNumber(L, b->video ? (b->videoContent >> 1) & 1 : b->alpha != nullptr);
      return 1;
    case ATTRHARDWARE:
      VmPushNumber(L, b->video ? 1 : 0);
      return 1;
    case ATTRDISPLAY:
      if (!b->video) {
        VmPushNumber(L, 0);
        return 1;
      }
      return PushObjectId(L, b->displayId);
    case ATTRLOADER:
      VmPushString(L, b->loader ? b->loader : "");
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}
